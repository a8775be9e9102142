// The `ztmime events` command over a golden message, and its errors.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

int run(const std::string &cmd, std::string *out)
{
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(CliEvents, PrintsOneLinePerEvent)
{
    std::string out;
    std::string msg = std::string(ZT_TEST_DATA_DIR) + "/parser/single.eml";
    ASSERT_EQ(run(std::string(ZT_CLI_PATH) + " events " + msg, &out), 0);
    EXPECT_EQ(out.rfind("ZTMIME_HEADER ", 0), 0u) << out;
    EXPECT_NE(out.find("\"Subject: A folded\\r\\n subject line\\r\\n\""), std::string::npos) << out;
    EXPECT_NE(out.find("ZTMIME_HEADERS_DONE             2  \"\\r\\n\"\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ZTMIME_MSG_DONE"), std::string::npos);
}

TEST(CliEvents, MissingFileFails)
{
    std::string out;
    EXPECT_NE(run(std::string(ZT_CLI_PATH) + " events /nonexistent/msg.eml 2>/dev/null", &out), 0);
    EXPECT_EQ(out, "");
}

} // namespace
