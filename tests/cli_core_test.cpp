// The program's own pieces that do not read mail: safe names and creating
// files inside one directory, JSON strings, SHA-256, mbox splitting, the
// ordered worker pool.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "inputs.h"
#include "json_writer.h"
#include "pool.h"
#include "safe_name.h"
#include "sha256.h"

namespace {

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/zt_cli_core_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

TEST(SafeName, HostileNamesBecomePlainBaseNames)
{
    const struct {
        std::string raw, safe;
    } cases[] = {
        {"report.pdf", "report.pdf"},
        {"../../etc/x", "x"},
        {"/abs/path", "path"},
        {"..%2F..%2Fpasswd", "..%2F..%2Fpasswd"},  // undecoded escapes are plain characters
        {"C:\\Users\\me\\a.doc", "a.doc"},
        {"a\nb\tc\x7f.txt", "a_b_c_.txt"},
        {std::string("nul\0byte", 8), "nul_byte"},
        {"", "FALLBACK"},
        {".", "FALLBACK"},
        {"..", "FALLBACK"},
        {"...", "FALLBACK"},
        {"dir/..", "FALLBACK"},
        {"dir/", "FALLBACK"},
        {"  ", "FALLBACK"},
        {"-rf", "_rf"},
        {".hidden", ".hidden"},
        {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},
        {"bad\xff\xc3(.txt", "bad__(.txt"},
        {"\xed\xa0\x80x", "___x"},  // a UTF-16 surrogate is not UTF-8
    };
    for (const auto &c : cases)
        EXPECT_EQ(safe_file_name(c.raw, "FALLBACK"), c.safe) << c.raw;
}

TEST(SafeName, LongNamesAreCutAtACharacterBoundaryKeepingTheExtension)
{
    std::string raw;
    for (int i = 0; i < 150; ++i)
        raw += "\xc3\xa9";  // 300 bytes
    std::string s = safe_file_name(raw + ".pdf", "x", 200);
    EXPECT_LE(s.size(), 200u);
    EXPECT_EQ(s.substr(s.size() - 4), ".pdf");
    EXPECT_EQ(s.size() % 2, 0u) << "cut inside a two-byte character";
}

TEST(OutputDir, NeverOverwritesOrFollowsALinkAndCountsUpForEqualNames)
{
    TempDir outside, tmp;
    std::string dir = tmp.path + "/out";
    OutputDir out;
    ASSERT_EQ(out.open(dir.c_str()), 0);  // created when missing
    // A link planted in the directory, pointing outside, both to an
    // existing file and to nowhere.
    std::string target = outside.path + "/target";
    FILE *f = std::fopen(target.c_str(), "w");
    std::fputs("keep", f);
    std::fclose(f);
    ASSERT_EQ(symlink(target.c_str(), (dir + "/a.txt").c_str()), 0);
    ASSERT_EQ(symlink((outside.path + "/new").c_str(), (dir + "/b.txt").c_str()), 0);

    std::string used;
    for (const char *name : {"a.txt", "b.txt"}) {
        int fd = out.create(name, used);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write(fd, "x", 1), 1);
        close(fd);
        EXPECT_EQ(used, std::string(name, 1) + "-1.txt");
    }
    struct stat st {};
    EXPECT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4) << "the file behind the link was written";
    EXPECT_NE(stat((outside.path + "/new").c_str(), &st), 0) << "a file was made through the dangling link";

    // 10,000 parts with one name: each gets a file of its own, quickly.
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) {
        int fd = out.create("same", used);
        ASSERT_GE(fd, 0) << i;
        close(fd);
        names.push_back(used);
    }
    EXPECT_EQ(names[0], "same");
    EXPECT_EQ(names[1], "same-1");
    EXPECT_EQ(names[9999], "same-9999");
}

// Runs Python's JSON parser over `text`; returns what it printed back
// (the decoded value as escaped ASCII) or "ERROR".
std::string python_json(const std::string &text)
{
    char path[] = "/tmp/zt_cli_json_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    std::string cmd = std::string("/usr/bin/python3 -c 'import json,sys; "
                                  "print(json.dumps(json.loads(open(sys.argv[1],\"rb\").read().decode(\"utf-8\"))))' ") +
                      path + " 2>/dev/null || echo ERROR";
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    for (int c; p && (c = std::fgetc(p)) != EOF;)
        out += static_cast<char>(c);
    if (p)
        pclose(p);
    unlink(path);
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

TEST(JsonWriter, StringsAreValidJsonWhateverTheBytes)
{
    const struct {
        std::string in, parsed;  // parsed: as Python prints it back
    } cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
        {"\n\r\t\x01\x1f\x7f", "\"\\n\\r\\t\\u0001\\u001f\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\\u00e9 \\u20ac \\ud83d\\ude00\""},
        {"\xff", "\"\\ufffd\""},
        {"a\xc3", "\"a\\ufffd\""},                  // cut sequence at the end
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},          // overlong '/'
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // surrogate
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // above U+10FFFF
        {std::string("\0", 1), "\"\\u0000\""},
    };
    for (const auto &c : cases) {
        std::string out;
        json_string(out, c.in);
        EXPECT_EQ(python_json(out), c.parsed) << out;
    }
    // Every byte value, in a document with the writer's nesting.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    std::string doc;
    JsonWriter w(doc);
    w.begin_object();
    w.key("bytes");
    w.value(all);
    w.key("list");
    w.begin_array();
    w.value(uint64_t{18446744073709551615u});
    w.value(-1);
    w.null();
    w.value(true);
    w.begin_object();
    w.end_object();
    w.end_array();
    w.end_object();
    std::string back = python_json(doc);
    ASSERT_NE(back, "ERROR") << doc;
    EXPECT_NE(back.find("\"list\": [18446744073709551615, -1, null, true, {}]"), std::string::npos) << back;
}

TEST(Sha256, KnownDigestsAndResetBetweenParts)
{
    Sha256 sha;
    EXPECT_EQ(sha.hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    sha.reset();
    sha.update("ab", 2);
    sha.update("c", 1);
    EXPECT_EQ(sha.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    sha.reset();
    EXPECT_EQ(sha.hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Mbox, MessagesStartAtFromLinesAndRangesOwnTheMessagesStartingInThem)
{
    const std::string box = "\xef\xbb\xbf" "From a\nx\n>From quoted\nFrom b\nFrom c\n\nbody From d\nFrom e";
    TempDir tmp;
    std::string path = tmp.path + "/box";
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(box.data(), 1, box.size(), f);
    std::fclose(f);
    auto src = std::make_shared<Source>();
    std::string error;
    ASSERT_TRUE(src->load(path, error)) << error;
    // Whatever the range size, every message is found once, in order.
    for (size_t chunk : {size_t{1}, size_t{5}, size_t{17}, box.size()}) {
        std::vector<std::string> seen;
        for (size_t at = 0; at < box.size(); at += chunk) {
            Item it;
            it.path = path;
            it.mbox = true;
            it.begin = at;
            it.end = std::min(box.size(), at + chunk);
            std::string notes;
            EXPECT_TRUE(for_each_message(it, *src, notes, [&](const Message &m) {
                seen.emplace_back(m.data, m.size);
                EXPECT_EQ(m.offset, static_cast<uint64_t>(m.data - src->data()));
            })) << notes;
        }
        EXPECT_EQ(seen, (std::vector<std::string>{"From a\nx\n>From quoted\n", "From b\n", "From c\n\nbody From d\n",
                                                  "From e"}))
            << chunk;
    }
}

TEST(Inputs, FilesThatAreNotMessagesAreNamed)
{
    const struct {
        std::string bytes;
        bool mbox, ok;
        std::string note;
    } cases[] = {
        {"", false, false, "empty file"},
        {"\xef\xbb\xbf", false, false, "empty file"},
        {"\x89PNG\r\n\x1a\n\0\0", false, false, "does not start with a header field"},
        {"Subject: hi\n\nbody\n", false, true, ""},
        {"From x\nSubject: hi\n", false, true, ""},
        {"Subject: hi\n\n", true, false, "not an mbox"},
        {"junk\nFrom x\n", true, false, "5 bytes before the first"},
    };
    TempDir tmp;
    for (const auto &c : cases) {
        std::string path = tmp.path + "/f";
        FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(c.bytes.data(), 1, c.bytes.size(), f);
        std::fclose(f);
        Source src;
        std::string error, notes;
        ASSERT_TRUE(src.load(path, error));
        Item it;
        it.path = path;
        it.mbox = c.mbox;
        it.end = src.size();
        EXPECT_EQ(for_each_message(it, src, notes, [](const Message &) {}), c.ok) << c.bytes;
        EXPECT_NE(notes.find(c.note), std::string::npos) << notes;
    }
    Source src;
    std::string error;
    EXPECT_FALSE(src.load(tmp.path, error));
    EXPECT_NE(error.find("is a directory"), std::string::npos);
    EXPECT_FALSE(src.load(tmp.path + "/missing", error));
    EXPECT_NE(error.find("No such file"), std::string::npos);
}

TEST(Pool, ResultsComeOutInJobOrderWhateverFinishesFirst)
{
    for (int threads : {1, 2, 5}) {
        std::vector<size_t> order;
        std::atomic<int> busy{0}, most{0};
        run_ordered(
            200, threads,
            [&](int worker, size_t i, JobResult &r) {
                EXPECT_LT(worker, threads);
                if (i == 13)
                    throw std::bad_alloc();
                int now = ++busy;
                for (int m = most; now > m && !most.compare_exchange_weak(m, now);)
                    ;
                if (i % 7 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(300));
                r.out = std::to_string(i);
                --busy;
            },
            [&](size_t i, JobResult &r) {
                if (i == 13)
                    EXPECT_EQ(r.status, 3);
                else
                    EXPECT_EQ(r.out, std::to_string(i));
                order.push_back(i);
                return true;
            });
        ASSERT_EQ(order.size(), 200u);
        for (size_t i = 0; i < order.size(); ++i)
            EXPECT_EQ(order[i], i);
        EXPECT_LE(most.load(), threads);
    }
    // Stopping early leaves no thread behind.
    size_t emitted = 0;
    run_ordered(1000, 3, [](int, size_t, JobResult &) {}, [&](size_t, JobResult &) { return ++emitted < 5; });
    EXPECT_EQ(emitted, 5u);
}

} // namespace
