// Random input through the driver: random bytes and mutated golden
// messages, random options and random chunkings.  Every run must reach the
// end of the message without an error, release every view, hand out exactly
// the bytes it was given (when nothing is repaired or dropped), and give the
// same joined event log however the input was cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "parser_harness.h"

using namespace parser_test;

namespace {

// Bytes that steer the driver come often; any byte can come.
std::string random_message(std::mt19937 &rng)
{
    static const char pieces[][12] = {"\r\n", "\n", "\r", "-", "--b", "--b--", ":", " ", "\t", "b",
                                      "begin 644 ", "end", "(", ".", ".\r\n", "A: x", "x", "B"};
    std::string s;
    for (size_t n = rng() % 300; s.size() < n;)
        s += rng() % 4 ? std::string(pieces[rng() % 18]) : std::string(1, static_cast<char>(rng()));
    return s;
}

std::string mutate(std::string s, std::mt19937 &rng)
{
    for (int edits = 1 + static_cast<int>(rng() % 8); edits > 0 && !s.empty(); --edits) {
        size_t at = rng() % s.size();
        switch (rng() % 4) {
        case 0: s[at] = static_cast<char>(rng()); break;
        case 1: s.erase(at, 1 + rng() % 16); break;
        case 2: s.insert(at, 1, "\r\n-b:("[rng() % 6]); break;
        default: s.insert(at, s.substr(rng() % s.size(), rng() % 64)); break;
        }
    }
    return s;
}

TEST(ParserFuzz, RandomInputRandomChunks)
{
    std::mt19937 rng(20240101);
    std::vector<std::string> golden;
    for (const std::string &name : golden_names())
        golden.push_back(zt_test::read_file(golden_dir + name + ".eml"));
    ASSERT_FALSE(golden.empty());
    const uint32_t line_limits[] = {0, 0, 0, 5, 20, 80};
    for (int iter = 0; iter < 3000; ++iter) {
        std::string msg = iter % 2 ? random_message(rng) : mutate(golden[rng() % golden.size()], rng);
        Options opt{line_limits[rng() % 6],
                    static_cast<uint32_t>(rng() % 16) & (ZTMIME_FLAG_DOT_END | ZTMIME_FLAG_BINARY | ZTMIME_FLAG_UUENCODE)};
        std::vector<size_t> chunks;
        for (int i = 0; i < 8; ++i)
            chunks.push_back(1 + rng() % (rng() % 2 ? 5 : 100));
        SCOPED_TRACE("iteration " + std::to_string(iter) + " max_line " + std::to_string(opt.max_line) +
                     " flags " + std::to_string(opt.flags) + " message " + zt_test::escaped(msg));
        RunLog whole = run_parser(msg, 0, opt), cut = run_parser(msg, 0, opt, &chunks);
        ASSERT_EQ(ztview_live_count("mime"), 0);
        ASSERT_TRUE(whole.reached_done && !whole.error && cut.reached_done && !cut.error);

        // The bytes handed out: all of them, unless something was repaired
        // (CR), cut (a line limit) or left after a ".\r\n" end line.  In
        // binary mode a run of bytes handed out while a header field is
        // pending comes before that field: same bytes, another order.
        bool dot = opt.flags & ZTMIME_FLAG_DOT_END, binary = opt.flags & ZTMIME_FLAG_BINARY;
        for (const RunLog *run : {&whole, &cut}) {
            std::string out, in = msg;
            for (const Event &e : run->events)
                out += e.bytes;
            if (binary && dot) {
                ASSERT_LE(out.size(), in.size());
                continue;
            }
            if (binary) {
                std::sort(out.begin(), out.end());
                std::sort(in.begin(), in.end());
            }
            if (binary || (opt.max_line == 0 && msg.find('\r') == std::string::npos)) {
                ASSERT_EQ(zt_test::escaped(dot ? in.substr(0, out.size()) : in), zt_test::escaped(out));
            }
        }

        // A line limit: an unterminated line outside a header block goes
        // out in pieces as it arrives, so no more than max_line bytes wait
        // there, except behind a uuencode begin line waiting for its end.
        if (opt.max_line && !binary && !(opt.flags & ZTMIME_FLAG_UUENCODE)) {
            ASSERT_LE(cut.held, opt.max_line);
        }

        // Chunking changes nothing but the size of body batches.  Binary
        // mode hands out runs of bytes where chunks end, and so does a line
        // limit for unterminated body lines, after which the rest of such a
        // line is read as a line of its own: there only the message's
        // header block, whose lines are never cut early, gives the same
        // events.  (A capitalised "begin" line is body inside a batch but
        // checked at the start of one.)
        if (binary)
            continue;
        std::vector<Event> a = merged(whole.events), b = merged(cut.events);
        if (opt.max_line) {
            auto header_block = [](std::vector<Event> v) {
                auto end = std::find_if(v.begin(), v.end(), [](const Event &e) { return e.type == ZTMIME_HEADERS_DONE; });
                v.erase(end == v.end() ? end : end + 1, v.end());
                return v;
            };
            ASSERT_EQ(format_log(header_block(a)), format_log(header_block(b)));
            continue;
        }
        if (opt.flags & ZTMIME_FLAG_UUENCODE)
            continue;
        if (dot && a.back().type == ZTMIME_MSG_DONE && b.back().type == ZTMIME_MSG_DONE)
            a.back().bytes = b.back().bytes = "";
        ASSERT_EQ(format_log(a), format_log(b));
    }
}

} // namespace
