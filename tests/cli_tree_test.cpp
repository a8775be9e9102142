// The tree command over the bundled sample with an attachment, an encoded
// subject and an RFC 2231 file name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string run(const std::string &args)
{
    std::string cmd = std::string(ZT_CLI_PATH) + " " + args + " 2>&1";
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string source_dir()
{
    std::string f = __FILE__;
    return f.substr(0, f.rfind('/'));
}

const std::string sample = source_dir() + "/../examples/minutes.eml";

TEST(CliTree, PrintsTheIndentedPartStructure)
{
    EXPECT_EQ(run("tree " + sample),
              "multipart/mixed  depth=1 encoding=- size=48\n"
              "  multipart/alternative  depth=2 encoding=- size=2\n"
              "    text/plain  depth=2 encoding=quoted-printable size=108\n"
              "    text/html  depth=2 encoding=quoted-printable size=123\n"
              "  text/csv  depth=1 encoding=base64 size=88 file=\"proc\xc3\xa8s-verbal r\xc3\xa9sum\xc3\xa9.csv\"\n"
              "  message/rfc822  depth=1 encoding=- size=0\n"
              "    text/plain  depth=1 encoding=- size=31\n");
}

TEST(CliTree, HeadersAreNormalised)
{
    std::string out = run("tree --headers - < " + sample);
    EXPECT_NE(out.find("| Subject: Proc\xc3\xa8s-verbal de la r\xc3\xa9union (r\xc3\xa9sum\xc3\xa9)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  | Content-Type: text/csv;"), std::string::npos);
}

TEST(CliTree, BadArguments)
{
    EXPECT_NE(run("tree --bogus").find("unknown option"), std::string::npos);
    EXPECT_NE(run("tree /no/such/file").find("/no/such/file"), std::string::npos);
}

} // namespace
