// Generators of mbox data shared by the parse benchmarks.
#pragma once

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace zt_bench::gen {

inline const char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// `bytes` bytes of base64 text of random data in 76-column CRLF lines.
inline void append_base64_lines(std::string &out, size_t bytes, std::mt19937 &rng)
{
    size_t end = out.size() + bytes;
    while (out.size() + 78 <= end) {
        for (int i = 0; i < 76; ++i)
            out += b64_alphabet[rng() & 63];
        out += "\r\n";
    }
}

// A piece of `n` bytes of base64 lines that ends inside a line, as real
// reads do: the chunk the peak-memory programs feed again and again.
inline std::string base64_chunk(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string chunk;
    append_base64_lines(chunk, n, rng);
    chunk.resize(n);
    return chunk;
}

inline void append_headers(std::string &m, int n, std::mt19937 &rng)
{
    m += "From sender" + std::to_string(n) + "@example.org Mon Jan  1 00:00:00 2024\n";
    for (int r = 0; r < 4; ++r)
        m += "Received: from relay" + std::to_string(r) + ".example.net (relay" +
             std::to_string(r) + ".example.net [192.0.2." + std::to_string(rng() % 250) +
             "])\n\tby mx.example.org with ESMTPS id " + std::to_string(rng()) +
             "\n\tfor <user@example.org>; Mon, 1 Jan 2024 00:00:00 +0000\n";
    m += "Message-ID: <" + std::to_string(rng()) + "@example.org>\n"
         "Date: Mon, 1 Jan 2024 00:00:00 +0000\nFrom: Sender <sender@example.org>\n"
         "To: User <user@example.org>\nSubject: message number " + std::to_string(n) + "\n"
         "MIME-Version: 1.0\nX-Mailer: bench\nX-Spam-Score: 0.1\n";
}

// Many small messages: mostly header fields, a few short body lines.
inline std::string header_mbox(size_t bytes)
{
    std::mt19937 rng(2);
    std::string m;
    for (int n = 0; m.size() < bytes; ++n) {
        append_headers(m, n, rng);
        m += "Content-Type: text/plain; charset=utf-8\n\nHello,\n\nthis is a short note.\n"
             "See you soon.\n\n";
    }
    return m;
}

// Messages that carry attachments: mostly body bytes.
inline std::string body_mbox(size_t bytes)
{
    std::mt19937 rng(3);
    std::string m;
    for (int n = 0; m.size() < bytes; ++n) {
        append_headers(m, n, rng);
        m += "Content-Type: multipart/mixed; boundary=\"=_b\"\n\n--=_b\nContent-Type: text/plain\n\n"
             "Attached.\n\n--=_b\nContent-Type: application/pdf\nContent-Transfer-Encoding: base64\n\n";
        size_t before = m.size();
        append_base64_lines(m, 200 * 1024 + rng() % (400 * 1024), rng);
        // mbox files use LF line ends
        std::string body = m.substr(before);
        m.resize(before);
        for (char c : body)
            if (c != '\r')
                m += c;
        m += "--=_b--\n\n";
    }
    return m;
}

inline std::string repeat_to(const std::string &s, size_t bytes)
{
    std::string out;
    if (s.empty())
        return out;
    while (out.size() < bytes)
        out += s;
    return out;
}

// Offsets of the messages of an mbox (each starts at a "From " line).
inline std::vector<size_t> mbox_starts(const std::string &mbox)
{
    std::vector<size_t> starts{0};
    for (size_t at = mbox.find("\nFrom "); at != std::string::npos; at = mbox.find("\nFrom ", at + 1))
        starts.push_back(at + 1);
    starts.push_back(mbox.size());
    return starts;
}

// [begin, end) of each message of an mbox, without its "From " envelope
// line, which is not part of the message (fed to the parser, it would end
// the header block at once).
inline std::vector<std::pair<size_t, size_t>> message_ranges(const std::string &mbox)
{
    std::vector<size_t> at = mbox_starts(mbox);
    std::vector<std::pair<size_t, size_t>> ranges;
    for (size_t i = 0; i + 1 < at.size(); ++i) {
        size_t body = at[i];
        if (mbox.compare(body, 5, "From ") == 0) {
            size_t nl = mbox.find('\n', body);
            body = nl == std::string::npos || nl > at[i + 1] ? at[i + 1] : nl + 1;
        }
        ranges.push_back({body, at[i + 1]});
    }
    return ranges;
}

} // namespace zt_bench::gen
