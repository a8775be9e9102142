// The tree command over the bundled sample with an attachment, an encoded
// subject and an RFC 2231 file name.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string run(const std::string &args)
{
    std::string out;
    FILE *p = popen((std::string(ZT_CLI_PATH) + " " + args + " 2>&1").c_str(), "r");
    for (int c; p && (c = std::fgetc(p)) != EOF;) out += static_cast<char>(c);
    if (p)
        pclose(p);
    return out;
}

const std::string sample = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/../examples/minutes.eml";

TEST(CliTree, PrintsTheIndentedPartStructureAndNormalisedHeadersAndRefusesBadArguments)
{
    EXPECT_EQ(run("tree " + sample),
              "multipart/mixed  depth=1 encoding=- size=48\n"
              "  multipart/alternative  depth=2 encoding=- size=2\n"
              "    text/plain  depth=2 encoding=quoted-printable size=108\n"
              "    text/html  depth=2 encoding=quoted-printable size=123\n"
              "  text/csv  depth=1 encoding=base64 size=88 file=\"proc\xc3\xa8s-verbal r\xc3\xa9sum\xc3\xa9.csv\"\n"
              "  message/rfc822  depth=1 encoding=- size=0\n"
              "    text/plain  depth=1 encoding=- size=31\n");
    std::string out = run("tree --headers - < " + sample);
    EXPECT_NE(out.find("| Subject: Proc\xc3\xa8s-verbal de la r\xc3\xa9union (r\xc3\xa9sum\xc3\xa9)\n"), std::string::npos);
    EXPECT_NE(run("tree --bogus").find("unknown option"), std::string::npos);
    EXPECT_NE(run("tree /no/such/file").find("/no/such/file"), std::string::npos);
}

} // namespace
