// Golden messages: each tests/data/parser/NAME.eml with NAME.events, the
// expected event log (body events joined).  Lines of NAME.events starting
// with '#' set init arguments: "# max_line N", "# flags NAME ...".  Every
// message without a line limit is replayed at several chunk sizes and must
// give the same log.  Set ZT_UPDATE_GOLDEN=1 to rewrite the logs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "parser_harness.h"

using namespace parser_test;

namespace {

struct Golden {
    Options opt;
    std::string header;  // the option lines
    std::string log;     // the expected log
};

Golden read_golden(const std::string &name)
{
    Golden g;
    std::istringstream in(zt_test::read_file(golden_dir + name + ".events"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] != '#') {
            g.log += line + "\n";
            continue;
        }
        g.header += line + "\n";
        std::istringstream words(line.substr(1));
        std::string key, value;
        words >> key;
        if (key == "max_line")
            words >> g.opt.max_line;
        while (key == "flags" && words >> value) {
            uint32_t flag = value == "DOT_END"    ? ZTMIME_FLAG_DOT_END
                            : value == "BINARY"   ? ZTMIME_FLAG_BINARY
                            : value == "UUENCODE" ? ZTMIME_FLAG_UUENCODE
                                                  : 0;
            EXPECT_NE(flag, 0u) << name << ": unknown flag " << value;
            g.opt.flags |= flag;
        }
    }
    return g;
}

class GoldenMessage : public testing::TestWithParam<std::string> {};

TEST_P(GoldenMessage, EveryChunkSizeGivesTheExpectedLog)
{
    const std::string name = GetParam();
    std::string msg = zt_test::read_file(golden_dir + name + ".eml");
    Golden g = read_golden(name);
    RunLog whole = run_parser(msg, 0, g.opt);
    EXPECT_TRUE(whole.reached_done && !whole.error);
    std::vector<Event> want = merged(whole.events);
    if (std::getenv("ZT_UPDATE_GOLDEN")) {
        std::ofstream(golden_dir + name + ".events", std::ios::binary) << g.header << format_log(want);
        return;
    }
    EXPECT_EQ(format_log(want), g.log);
    // A line limit cuts unterminated body lines where the chunks end, and
    // so keeps no more than max_line bytes of them waiting; the header
    // events and the body bytes stay the same.
    const bool limit = g.opt.max_line && !(g.opt.flags & ZTMIME_FLAG_BINARY);
    if (limit)
        want = body_joined(whole.events);
    for (size_t chunk : {1, 2, 3, 7, 64, 4096}) {
        RunLog run = run_parser(msg, chunk, g.opt);
        EXPECT_TRUE(run.reached_done) << "chunk " << chunk;
        if (limit && !(g.opt.flags & ZTMIME_FLAG_UUENCODE)) {
            EXPECT_LE(run.held, g.opt.max_line) << "chunk " << chunk;
        }
        std::vector<Event> got = limit ? body_joined(run.events) : merged(run.events);
        // After a ".\r\n" end line the message is over: what follows it is
        // only what had been fed so far.
        if ((g.opt.flags & ZTMIME_FLAG_DOT_END) && !got.empty() && !want.empty() &&
            got.back().type == ZTMIME_MSG_DONE) {
            EXPECT_EQ(want.back().bytes.compare(0, got.back().bytes.size(), got.back().bytes), 0);
            got.back().bytes = want.back().bytes;
        }
        EXPECT_EQ(format_log(got), format_log(want)) << "chunk " << chunk;
    }
}

INSTANTIATE_TEST_SUITE_P(Parser, GoldenMessage, testing::ValuesIn(golden_names()),
                         [](const testing::TestParamInfo<std::string> &info) { return info.param; });

} // namespace
