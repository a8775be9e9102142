// `ztmime decode` and `ztmime encode` run end to end through the built
// program, with data piped through it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "zt_test.h"

namespace {

struct Result {
    int status; // exit status, or -1 when the program did not exit normally
    std::string out, err;
};

class TempFile {
  public:
    explicit TempFile(const std::string &content)
    {
        char tmpl[] = "/tmp/ztmime-cli-XXXXXX";
        int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        path_ = tmpl;
        size_t done = 0;
        while (fd >= 0 && done < content.size()) {
            ssize_t n = write(fd, content.data() + done, content.size() - done);
            if (n <= 0)
                break;
            done += size_t(n);
        }
        if (fd >= 0)
            close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// Runs `ztmime ARGS` through the shell with `input` as its stdin (or, with
// as_file, as a file named on the command line).
Result run(const std::string &args, const std::string &input, bool as_file = false)
{
    TempFile in(input), err("");
    std::string cmd = std::string(ZT_CLI_PATH) + " " + args + (as_file ? " " : " < ") + in.path() +
                      " 2> " + err.path();
    Result r;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "cannot run " << cmd;
        return {-1, "", ""};
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = zt_test::read_file(err.path());
    return r;
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = char(rng());
    return s;
}

} // namespace

class CliRoundTrip : public testing::TestWithParam<const char *> {};

// Well over one 64 KiB chunk, encoded from a named file and decoded from a
// pipe, comes back unchanged.
TEST_P(CliRoundTrip, EncodeThenDecodeGivesTheBytesBack)
{
    std::string opt = GetParam();
    std::string data = random_bytes(200000, 1);
    if (opt == "--qp")
        data += "\r\n"; // the encoder ends its data with a line break
    if (opt == "--dot")
        data = ".first\n" + data + "\n.\r\n..";
    Result enc = run("encode " + opt, data, true);
    ASSERT_EQ(enc.status, 0) << enc.err;
    EXPECT_EQ(enc.err, "");
    Result dec = run("decode " + opt + " -", enc.out);
    ASSERT_EQ(dec.status, 0) << dec.err;
    EXPECT_TRUE(dec.out == data) << "decoded " << dec.out.size() << " bytes, want " << data.size();
}

INSTANTIATE_TEST_SUITE_P(Codecs, CliRoundTrip, testing::Values("--base64", "--qp", "--uu", "--dot"),
                         [](const testing::TestParamInfo<const char *> &i) {
                             return std::string(i.param + 2);
                         });

TEST(CliCodec, ExactOutput)
{
    EXPECT_EQ(run("encode --uu", "Cat").out, "#0V%T\r\n`\r\n");
    EXPECT_EQ(run("decode --uu -", "#0V%T\r\n`\r\n").out, "Cat");
    EXPECT_EQ(run("decode --dot", "..a\n.b\n", true).out, ".a\nb\n");
}

TEST(CliCodec, MalformedInputFailsWithTheCodecsText)
{
    // Lines before the fault are still written.
    Result uu = run("decode --uu", "#0V%T\r\nN0V%T\r\n");
    EXPECT_EQ(uu.status, 1);
    EXPECT_EQ(uu.out, "Cat");
    EXPECT_EQ(uu.err, "ztmime decode: malformed uuencoded input\n");

    Result b64 = run("decode --base64", "QUJD\r\nQU*D\r\n");
    EXPECT_EQ(b64.status, 1);
    EXPECT_EQ(b64.err, "ztmime decode: invalid b64 characters in input\n");

    // The codec sets no text: a generic message.
    Result qp = run("decode --qp", "abc=4");
    EXPECT_EQ(qp.status, 1);
    EXPECT_EQ(qp.err, "ztmime decode: malformed quoted-printable input\n");
}

TEST(CliCodec, CommandLineErrors)
{
    EXPECT_EQ(run("decode", "x").status, 2);
    EXPECT_EQ(run("encode --uu --qp", "x").status, 2);
    EXPECT_EQ(run("encode --zip", "x").status, 2);
    Result missing = run("decode --uu /nonexistent/file", "");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/nonexistent/file"), std::string::npos);
}
