#include "sha256.h"

#include <new>
#include <openssl/evp.h>

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()), md_(EVP_MD_fetch(nullptr, "SHA256", nullptr))
{
    if (!ctx_ || !md_) {
        EVP_MD_CTX_free(ctx_);
        EVP_MD_free(md_);
        throw std::bad_alloc();
    }
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(ctx_);
    EVP_MD_free(md_);
}

void Sha256::reset() { EVP_DigestInit_ex2(ctx_, md_, nullptr); }

void Sha256::update(const void *data, size_t len)
{
    if (len)
        EVP_DigestUpdate(ctx_, data, len);
}

std::string Sha256::hex()
{
    static const char digits[] = "0123456789abcdef";
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_, md, &n);
    std::string s(2 * n, '0');
    for (unsigned i = 0; i < n; ++i) {
        s[2 * i] = digits[md[i] >> 4];
        s[2 * i + 1] = digits[md[i] & 15];
    }
    return s;
}
