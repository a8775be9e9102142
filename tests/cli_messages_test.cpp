// The message commands end to end through the built program: exit
// statuses, tree and headers output, JSON parsed back, mboxes, maildirs,
// and file names from hostile messages when extracting.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "cli_program.h"
#include "sha256.h"
#include "ztmime.h"

namespace {

using cli::run;
using cli::slurp;
using cli::spit;

const std::string examples = std::string(ZT_TEST_DATA_DIR) + "/../../examples";

std::string mail(const std::string &subject, const std::string &body)
{
    return "From: a@example.org\nSubject: " + subject + "\nMessage-ID: <" + subject + "@x>\n\n" + body;
}

TEST(CliMessages, ExitStatusesAndMessagesForEveryKindOfBadInput)
{
    cli::TempDir tmp;
    const std::string d = tmp.path;
    spit(d + "/good.eml", mail("good", "hello\n"));
    spit(d + "/empty.eml", "");
    spit(d + "/garbage.bin", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    spit(d + "/cut.eml", "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nhalf a ");
    spit(d + "/unreadable.eml", mail("x", "y\n"));
    chmod((d + "/unreadable.eml").c_str(), 0);
    mkdir((d + "/nothing").c_str(), 0777);
    const struct {
        std::string args;
        int status;
        std::string err;  // expected in stderr
    } cases[] = {
        {"tree " + d + "/good.eml", 0, ""},
        {"json " + d + "/good.eml", 0, ""},
        {"", 2, "usage"},
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"tree --bogus", 2, "unknown option '--bogus'"},
        {"tree a b", 2, "one input only"},
        {"json", 2, "no FILE or DIR"},
        {"json --jobs 0 x", 2, "--jobs wants a number"},
        {"json --jobs", 2, "missing number"},
        {"extract -d", 2, "missing directory"},
        {"decode --base64 --qp", 2, "usage"},
        {"tree " + d + "/missing.eml", 3, d + "/missing.eml: No such file or directory"},
        {"json " + d + "/good.eml " + d + "/missing.eml", 3, "missing.eml"},
        {"headers " + d + "/empty.eml", 1, "empty.eml: empty file"},
        {"tree " + d + "/garbage.bin", 1, "garbage.bin: does not start with a header field"},
        {"json " + d + "/cut.eml", 1, ""},
        {"tree --mbox " + d + "/good.eml", 1, "not an mbox"},
        {"json " + d + "/nothing", 1, "no messages in this directory"},
        {"tree - < " + d + "/nothing", 3, "standard input"},
        {"extract -d /proc/version/x " + d + "/good.eml", 3, "/proc/version/x"},
        {"tree /proc/self/mem", 3, "/proc/self/mem: Input/output error"},  // fails on read, not open
        {"decode --base64 " + d + "/missing", 3, "No such file"},
        {"events " + d + "/missing", 3, "No such file"},
    };
    for (const auto &c : cases) {
        cli::Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
    }
    if (geteuid() != 0) {  // root reads anything
        cli::Result r = run("headers " + d + "/unreadable.eml");
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    }
    EXPECT_NE(run("json " + d + "/cut.eml").out.find("\"truncated\""), std::string::npos);
}

TEST(CliMessages, VersionAndHelpForEveryCommand)
{
    cli::Result v = run("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, std::string("ztmime ") + ztmime_version() + "\n");
    for (const char *cmd : {"tree", "headers", "extract", "json", "events", "decode", "encode"}) {
        cli::Result r = run(std::string(cmd) + " --help");
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.out.rfind(std::string("usage: ztmime ") + cmd, 0), 0u) << cmd << r.out;
        EXPECT_NE(run("--help").out.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
    }
}

TEST(CliMessages, TreeIndentsPartsUnderTheirMultipartAndSumsSizes)
{
    cli::Result r = run("tree " + examples + "/minutes.eml");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "message  multipart/mixed  encoding=- size=299 parts=3\n"
              "  1  multipart/alternative  encoding=- size=208 parts=2\n"
              "    1.1  text/plain charset=utf-8  encoding=quoted-printable size=98\n"
              "    1.2  text/html charset=utf-8  encoding=quoted-printable size=110\n"
              "  2  text/csv charset=iso-8859-1  encoding=base64 size=62 disposition=attachment "
              "file=\"proc\xc3\xa8s-verbal r\xc3\xa9sum\xc3\xa9.csv\"\n"
              "  3  message/rfc822  encoding=- size=29 parts=1\n"
              "    3.1  text/plain charset=us-ascii  encoding=- size=29\n");
    // --json nests the same parts: printed back by Python as path:size
    // with the children in brackets.
    cli::TempDir tmp;
    spit(tmp.path + "/t.py", "import json, sys\n"
                             "def show(p):\n"
                             "    kids = ''.join(show(c) for c in p.get('parts', []))\n"
                             "    return p['path'] + ':' + str(p['size']) + ('[' + kids + ']' if 'parts' in p else ' ')\n"
                             "m = json.loads(sys.stdin.readline())\n"
                             "print(m['offset'], ''.join(show(p) for p in m['parts']))\n");
    FILE *py = popen((std::string(ZT_CLI_PATH) + " tree --json " + examples + "/minutes.eml | /usr/bin/python3 " +
                      tmp.path + "/t.py").c_str(),
                     "r");
    std::string nested;
    for (int c; py && (c = std::fgetc(py)) != EOF;)
        nested += static_cast<char>(c);
    if (py)
        pclose(py);
    EXPECT_EQ(nested, "0 :299[1:208[1.1:98 1.2:110 ]2:62 3:29[3.1:29 ]]\n");
    cli::Result h = run("headers - < " + examples + "/minutes.eml");
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("\nSubject: Proc\xc3\xa8s-verbal de la r\xc3\xa9union (r\xc3\xa9sum\xc3\xa9)\n"), std::string::npos)
        << h.out;
    EXPECT_EQ(h.out.rfind("From: Grace <grace@example.org>\n", 0), 0u) << h.out;
}

// Python's json module reads every line and prints one tab-separated line
// per part: file, offset, subject, path, type, filename, size, sha256,
// problems.  "ERROR" when a line is not JSON.
std::string parts_table(const std::string &jsonl)
{
    cli::TempDir tmp;
    spit(tmp.path + "/in.jsonl", jsonl);
    spit(tmp.path + "/t.py",
         "import json, sys\n"
         "try:\n"
         "    for line in open(sys.argv[1], encoding='utf-8'):\n"
         "        m = json.loads(line)\n"
         "        for p in m['parts']:\n"
         "            print(m['file'].rsplit('/', 1)[-1], m['offset'], m['subject'], p['path'], p['type'],\n"
         "                  p['filename'], p['size'], p['sha256'], ','.join(p['problems']), sep='\\t')\n"
         "except Exception as e:\n"
         "    print('ERROR', e)\n");
    FILE *p = popen(("/usr/bin/python3 " + tmp.path + "/t.py " + tmp.path + "/in.jsonl").c_str(), "r");
    std::string out;
    for (int c; p && (c = std::fgetc(p)) != EOF;)
        out += static_cast<char>(c);
    if (p)
        pclose(p);
    return out;
}

TEST(CliMessages, JsonIsValidWhateverTheBytesAndCarriesDigestsOfDecodedParts)
{
    cli::TempDir tmp;
    // Raw bytes that are not UTF-8 in a file name, control bytes and
    // quotes in the subject, a base64 attachment.
    spit(tmp.path + "/m.eml",
         "Subject: \"q\" \\ =?utf-8?q?tab=09bell=07?=\n"
         "Content-Type: multipart/mixed; boundary=b\n\n"
         "--b\nContent-Type: text/plain\n\nhi\n"
         "--b\nContent-Type: application/octet-stream; name=\"a\xff\xfe.bin\"\n"
         "Content-Transfer-Encoding: base64\n\naGVsbG8=\n--b--\n");
    cli::Result r = run("json " + tmp.path + "/m.eml");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string table = parts_table(r.out);
    // sha256("hi"), sha256("hello")
    EXPECT_EQ(table,
              "m.eml\t0\t\"q\" \\ tab\tbell\x07\t\tmultipart/mixed\t\t7\tNone\t\n"
              "m.eml\t0\t\"q\" \\ tab\tbell\x07\t1\ttext/plain\t\t2\t"
              "8f434346648f6b96df89dda901c5176b10a6d83961dd3c1ac88b59b2dc327aa4\t\n"
              "m.eml\t0\t\"q\" \\ tab\tbell\x07\t2\tapplication/octet-stream\ta\xc3\xbf\xc3\xbe.bin\t5\t"
              "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824\t\n")
        << r.out;
}

TEST(CliMessages, MboxMessagesInOrderWithOffsetsTheSameOnTwoThreads)
{
    cli::TempDir tmp;
    std::string box;
    std::vector<size_t> offsets;
    box += "\xef\xbb\xbf";
    for (int i = 0; i < 40; ++i) {
        offsets.push_back(box.size());
        box += "From sender@example.org Mon Jan  1 00:00:00 2024\n" +
               mail("m" + std::to_string(i), ">From the start\nline\n\n");
    }
    spit(tmp.path + "/box", box);
    cli::Result one = run("json --mbox " + tmp.path + "/box");
    cli::Result two = run("json --mbox --jobs 2 " + tmp.path + "/box");
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(one.out, two.out);
    // The line break before the next "From " line belongs to the separator.
    const std::string body = "From the start\nline\n";
    Sha256 sha;
    sha.update(body.data(), body.size());
    std::string digest = sha.hex(), expect;
    for (int i = 0; i < 40; ++i)
        expect += "box\t" + std::to_string(offsets[static_cast<size_t>(i)]) + "\tm" + std::to_string(i) +
                  "\t\ttext/plain\t\t20\t" + digest + "\t\n";
    EXPECT_EQ(parts_table(one.out), expect);

    cli::Result x = run("extract --all -d " + tmp.path + "/out --mbox " + tmp.path + "/box");
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(slurp(tmp.path + "/out/message.txt"), body);
    EXPECT_EQ(slurp(tmp.path + "/out/message-39.txt"), body);
    EXPECT_NE(x.out.find("\t20\t" + tmp.path + "/box@" + std::to_string(offsets[1]) + "\tmessage\n"), std::string::npos)
        << x.out;
}

TEST(CliMessages, MaildirReadsCurThenNewAndLeavesTmpAlone)
{
    cli::TempDir tmp;
    std::string md = tmp.path + "/Maildir";
    for (const char *sub : {"", "/cur", "/new", "/tmp"})
        mkdir((md + sub).c_str(), 0777);
    spit(md + "/cur/2.host:2,S", mail("second", "b\n"));
    spit(md + "/cur/1.host:2,S", mail("first", "a\n"));
    spit(md + "/new/3.host", "\xef\xbb\xbf" + mail("third", "c\n"));  // with a byte-order mark
    spit(md + "/tmp/4.host", mail("in delivery", "d\n"));
    cli::Result r = run("json " + md);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(parts_table(r.out), "1.host:2,S\t0\tfirst\t\ttext/plain\t\t2\t"
                                  "87428fc522803d31065e7bce3cf03fe475096631e5e07bbd7a0fde60c4cf25c7\t\n"
                                  "2.host:2,S\t0\tsecond\t\ttext/plain\t\t2\t"
                                  "0263829989b6fd954f72baaf2fc64bc2e2f01d692d4de72986ea808f6e99813f\t\n"
                                  "3.host\t3\tthird\t\ttext/plain\t\t2\t"
                                  "a3a5e715f0cc574a73c3f9bebb6bc24f32ffd5b67b387244c2c909da779a1478\t\n");
    cli::Result h = run("headers " + md);
    EXPECT_NE(h.out.find("== " + md + "/new/3.host\nFrom: a@example.org\nSubject: third\n"), std::string::npos) << h.out;
}

TEST(CliMessages, ExtractKeepsEveryHostileNameInsideTheDirectory)
{
    cli::TempDir tmp;
    const std::string dir = tmp.path + "/out";
    mkdir(dir.c_str(), 0777);
    spit(tmp.path + "/secret", "keep");
    symlink((tmp.path + "/secret").c_str(), (dir + "/planted.txt").c_str());
    const struct {
        std::string params;  // Content-Disposition parameters
        std::string saved;   // name in DIR
    } cases[] = {
        {"filename=\"../../etc/x\"", "x"},
        {"filename=\"/abs/path\"", "path"},
        {"filename*=utf-8''..%2F..%2Fetc%2Fpasswd", "passwd"},
        {"filename=\"=?utf-8?q?a=0Ab=1B.txt?=\"", "a_b_.txt"},
        {"filename=\"\"", "part-5.bin"},
        {"filename=\".\"", "part-6.bin"},
        {"filename=\"..\"", "part-7.bin"},
        {"filename=\"planted.txt\"", "planted-1.txt"},
        {"filename=\"same\"", "same"},
        {"filename=\"same\"", "same-1"},
        {"filename=\"same\"", "same-2"},
        {"filename=\"-n\"", "_n"},
    };
    std::string msg = "Content-Type: multipart/mixed; boundary=b\n\n";
    for (size_t i = 0; i < std::size(cases); ++i)
        msg += "--b\nContent-Type: application/octet-stream\nContent-Disposition: attachment; " + cases[i].params +
               "\n\nbody " + std::to_string(i + 1) + "\n";
    msg += "--b--\n";
    spit(tmp.path + "/m.eml", msg);
    cli::Result r = run("extract -d " + dir + " " + tmp.path + "/m.eml");
    EXPECT_EQ(r.status, 0) << r.err;
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string path = dir + "/" + cases[i].saved;
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << cases[i].params;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << cases[i].params;
        EXPECT_EQ(slurp(path), "body " + std::to_string(i + 1)) << cases[i].params;
        EXPECT_NE(r.out.find(path + "\t" + std::to_string(cli::slurp(path).size()) + "\t" + tmp.path + "/m.eml\t" +
                             std::to_string(i + 1) + "\n"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(slurp(tmp.path + "/secret"), "keep");
    // Nothing but the message, the secret and DIR beside DIR.
    cli::Result ls = {0, "", ""};
    FILE *p = popen(("ls -A " + tmp.path).c_str(), "r");
    for (int c; p && (c = std::fgetc(p)) != EOF;)
        ls.out += static_cast<char>(c);
    pclose(p);
    EXPECT_EQ(ls.out, "m.eml\nout\nsecret\n");
}

} // namespace
