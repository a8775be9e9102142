// The `ztmime events` command over a golden message, and its errors.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

namespace {

// Runs a shell command; its exit status, with its output in *out.
int run(const std::string &cmd, std::string *out)
{
    FILE *p = popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out->append(buf, n);
    int st = p ? pclose(p) : -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// One line per event (name, length, quoted bytes); a file that cannot be
// read fails without output.
TEST(CliEvents, PrintsOneLinePerEventAndFailsOnAMissingFile)
{
    std::string out, none;
    ASSERT_EQ(run(std::string(ZT_CLI_PATH) + " events " ZT_TEST_DATA_DIR "/parser/single.eml", &out), 0);
    EXPECT_EQ(out.rfind("ZTMIME_HEADER ", 0), 0u) << out;
    EXPECT_NE(out.find("\"Subject: A folded\\r\\n subject line\\r\\n\""), std::string::npos) << out;
    EXPECT_NE(out.find("ZTMIME_HEADERS_DONE             2  \"\\r\\n\"\n"), std::string::npos) << out;
    EXPECT_NE(run(std::string(ZT_CLI_PATH) + " events /nonexistent/msg.eml 2>/dev/null", &none), 0);
    EXPECT_EQ(none, "");
}

} // namespace
