// `ztmime decode` and `ztmime encode` run end to end through the built
// program, with data piped through it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "zt_test.h"

namespace {

// The exit status (-1 when the program did not exit normally) and output.
struct Result { int status; std::string out, err; };

std::string temp_file(const std::string &content)
{
    char path[] = "/tmp/ztmime-cli-XXXXXX";
    int fd = mkstemp(path);
    FILE *f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    EXPECT_TRUE(f && std::fwrite(content.data(), 1, content.size(), f) == content.size());
    if (f)
        std::fclose(f);
    return path;
}

// Runs `ztmime ARGS` through the shell with `input` as its stdin (or, with
// as_file, as a file named on the command line).
Result run(const std::string &args, const std::string &input, bool as_file)
{
    std::string in = temp_file(input), err = temp_file("");
    std::string cmd = std::string(ZT_CLI_PATH) + " " + args + (as_file ? " " : " < ") + in + " 2> " + err;
    Result r{-1, "", ""};
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[65536];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    r.err = zt_test::read_file(err);
    unlink(in.c_str());
    unlink(err.c_str());
    return r;
}

} // namespace

class CliRoundTrip : public testing::TestWithParam<const char *> {};

// Well over one 64 KiB chunk, encoded from a named file and decoded from a
// pipe, comes back unchanged.
TEST_P(CliRoundTrip, EncodeThenDecodeGivesTheBytesBack)
{
    std::string opt = GetParam(), data(200000, '\0');
    std::mt19937 rng(1);
    for (auto &c : data)
        c = char(rng());
    data = opt == "--dot" ? ".first\n" + data + "\n.\r\n.." : opt == "--qp" ? data + "\r\n" : data;
    Result enc = run("encode " + opt, data, true);
    ASSERT_EQ(enc.status, 0) << enc.err;
    Result dec = run("decode " + opt + " -", enc.out, false);
    ASSERT_EQ(dec.status, 0) << dec.err;
    EXPECT_TRUE(dec.out == data && enc.err.empty()) << "decoded " << dec.out.size() << " of " << data.size();
}

INSTANTIATE_TEST_SUITE_P(Codecs, CliRoundTrip, testing::Values("--base64", "--qp", "--uu", "--dot"),
                         [](const testing::TestParamInfo<const char *> &i) { return std::string(i.param + 2); });

// Lines before the fault are still written; the codec's text is reported.
TEST(CliCodec, MalformedInputFailsWithTheCodecsText)
{
    Result uu = run("decode --uu", "#0V%T\r\nN0V%T\r\n", false);
    EXPECT_EQ(uu.status, 1);
    EXPECT_EQ(uu.out, "Cat");
    EXPECT_EQ(uu.err, "ztmime decode: malformed uuencoded input\n");
}
