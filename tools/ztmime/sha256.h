// SHA-256 through OpenSSL's digest interface, one object per thread.
#pragma once

#include <cstddef>
#include <string>

struct evp_md_ctx_st;
struct evp_md_st;

class Sha256 {
public:
    Sha256();  // throws std::bad_alloc when OpenSSL cannot make its context
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void update(const void *data, size_t len);
    std::string hex();  // the digest of what was fed since reset, lower-case hex

private:
    evp_md_ctx_st *ctx_;
    evp_md_st *md_;
};
