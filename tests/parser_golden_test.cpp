// Golden messages: each tests/data/parser/NAME.eml with NAME.events, the
// expected event log (body events joined).  Lines of NAME.events starting
// with '#' set init arguments: "# max_line N", "# flags NAME ...".  Every
// message without a line limit is replayed at several chunk sizes and must
// give the same log.  Set ZT_UPDATE_GOLDEN=1 to rewrite the logs.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "parser_harness.h"
#include "zt_test.h"

using namespace parser_test;

namespace {

const std::string data_dir = std::string(ZT_TEST_DATA_DIR) + "/parser/";

std::vector<std::string> golden_names()
{
    std::vector<std::string> names;
    if (DIR *d = opendir(data_dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && n.substr(n.size() - 4) == ".eml")
                names.push_back(n.substr(0, n.size() - 4));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct Golden {
    Options opt;
    std::string header;  // the option lines
    std::string log;     // the expected log
};

Golden read_golden(const std::string &name)
{
    Golden g;
    std::istringstream in(zt_test::read_file(data_dir + name + ".events"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '#') {
            g.log += line + "\n";
            continue;
        }
        g.header += line + "\n";
        std::istringstream words(line.substr(1));
        std::string key, value;
        words >> key;
        if (key == "max_line") {
            words >> g.opt.max_line;
        } else if (key == "flags") {
            while (words >> value) {
                if (value == "DOT_END")
                    g.opt.flags |= ZTMIME_FLAG_DOT_END;
                else if (value == "BINARY")
                    g.opt.flags |= ZTMIME_FLAG_BINARY;
                else if (value == "UUENCODE")
                    g.opt.flags |= ZTMIME_FLAG_UUENCODE;
                else
                    ADD_FAILURE() << name << ": unknown flag " << value;
            }
        }
    }
    return g;
}

class GoldenMessage : public testing::TestWithParam<std::string> {};

TEST_P(GoldenMessage, WholeMessageGivesTheExpectedLog)
{
    const std::string name = GetParam();
    std::string msg = zt_test::read_file(data_dir + name + ".eml");
    Golden g = read_golden(name);
    RunLog run = run_parser(msg, 0, g.opt);
    EXPECT_TRUE(run.reached_done);
    EXPECT_FALSE(run.error);
    std::string got = format_log(merged(run.events));
    if (std::getenv("ZT_UPDATE_GOLDEN")) {
        std::ofstream(data_dir + name + ".events", std::ios::binary) << g.header << got;
        return;
    }
    EXPECT_EQ(got, g.log);
}

TEST_P(GoldenMessage, EveryChunkSizeGivesTheSameLog)
{
    const std::string name = GetParam();
    std::string msg = zt_test::read_file(data_dir + name + ".eml");
    Golden g = read_golden(name);
    if (g.opt.max_line)
        GTEST_SKIP() << "a line limit cuts unterminated lines where the chunks end";
    std::vector<Event> whole = merged(run_parser(msg, 0, g.opt).events);
    ASSERT_EQ(format_log(whole), g.log);
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, size_t{4096}}) {
        RunLog run = run_parser(msg, chunk, g.opt);
        EXPECT_TRUE(run.reached_done) << "chunk " << chunk;
        std::vector<Event> got = merged(run.events);
        // After a ".\r\n" end line the message is over: what follows it is
        // only what had been fed so far.
        if ((g.opt.flags & ZTMIME_FLAG_DOT_END) && !got.empty() &&
            got.back().type == ZTMIME_MSG_DONE && whole.back().type == ZTMIME_MSG_DONE) {
            EXPECT_EQ(whole.back().bytes.compare(0, got.back().bytes.size(), got.back().bytes), 0);
            got.back().bytes = whole.back().bytes;
        }
        EXPECT_EQ(format_log(got), g.log) << "chunk " << chunk;
    }
}

INSTANTIATE_TEST_SUITE_P(Parser, GoldenMessage, testing::ValuesIn(golden_names()),
                         [](const testing::TestParamInfo<std::string> &info) { return info.param; });

} // namespace
