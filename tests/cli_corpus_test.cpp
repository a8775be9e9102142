// Every corpus message through the built program: `extract --all` must save
// each part with a body byte for byte as the reader hands it out, and
// `json` must give the same sizes and SHA-256 digests.
#include <gtest/gtest.h>

#include <dirent.h>
#include <map>
#include <sys/stat.h>
#include <vector>

#include "cli_program.h"
#include "sha256.h"
#include "ztmime.h"

namespace {

using cli::slurp;

// Corpus files that hold one message each.
void find_messages(const std::string &dir, std::vector<std::string> &out)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name, path = dir + "/" + name;
        struct stat st {};
        if (name[0] == '.' || stat(path.c_str(), &st) != 0)
            continue;
        auto ends = [&](const char *s) { return name.size() > strlen(s) && name.rfind(s) == name.size() - strlen(s); };
        if (S_ISDIR(st.st_mode))
            find_messages(path, out);
        else if (ends(".msg") || ends(".eml") || (dir.find("/messages") != std::string::npos && ends(".txt")))
            out.push_back(path);
    }
    closedir(d);
}

// The decoded bytes of every part with a body, by part path, as the reader
// gives them for the message in `bytes`.
std::map<std::string, std::string> reader_parts(std::string bytes)
{
    if (bytes.rfind("\xef\xbb\xbf", 0) == 0)
        bytes.erase(0, 3);
    std::map<std::string, std::string> parts;
    ztmime_reader *r = ztmime_reader_new(0);
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(ztmime_reader_feed(r, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(ztmime_reader_finish(r), 0);
    std::vector<std::string> open;
    for (;;) {
        const void *data;
        size_t len;
        ztmime_item it = ztmime_reader_next(r, &data, &len);
        if (it == ZTMIME_ITEM_NONE || it == ZTMIME_ITEM_ERROR)
            break;
        const ztmime_part_info *p = ztmime_reader_part(r);
        if (it == ZTMIME_ITEM_PART && !p->container)
            parts[p->path[0] ? p->path : "message"];
        if (it == ZTMIME_ITEM_DATA)
            parts[p->path[0] ? p->path : "message"].append(static_cast<const char *>(data), len);
    }
    ztmime_reader_destroy(r);
    return parts;
}

std::vector<std::string> fields(const std::string &line)
{
    std::vector<std::string> f;
    for (size_t at = 0;;) {
        size_t tab = line.find('\t', at);
        f.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            return f;
        at = tab + 1;
    }
}

TEST(CliCorpus, ExtractAllAndJsonAgreeWithTheReaderOnEveryMessage)
{
    std::vector<std::string> messages;
    find_messages(ZT_CORPUS_DIR, messages);
    if (messages.empty())
        GTEST_SKIP() << "no corpus at " << ZT_CORPUS_DIR;
    // One folder of links to the messages, read in one run.
    cli::TempDir tmp;
    std::string folder = tmp.path + "/in";
    mkdir(folder.c_str(), 0777);
    std::map<std::string, std::string> source;  // link name -> corpus file
    for (size_t i = 0; i < messages.size(); ++i) {
        std::string link = folder + "/" + std::to_string(100000 + i);
        ASSERT_EQ(symlink(messages[i].c_str(), link.c_str()), 0);
        source[link] = messages[i];
    }
    cli::Result x = cli::run("extract -q --all -d " + tmp.path + "/out " + folder);
    ASSERT_LE(x.status, 1) << x.err;
    cli::Result j = cli::run("json -q --jobs 2 " + folder);
    ASSERT_LE(j.status, 1) << j.err;

    // extract: SAVED \t BYTES \t SOURCE \t PART
    std::map<std::string, std::map<std::string, std::string>> saved;  // link -> part -> file
    for (size_t at = 0; at < x.out.size();) {
        size_t nl = x.out.find('\n', at);
        std::vector<std::string> f = fields(x.out.substr(at, nl - at));
        at = nl + 1;
        ASSERT_EQ(f.size(), 4u) << x.out;
        EXPECT_EQ(f[0].rfind(tmp.path + "/out/", 0), 0u) << f[0];
        EXPECT_TRUE(saved[f[2]].emplace(f[3], f[0]).second) << "part saved twice: " << f[2] << " " << f[3];
    }
    size_t parts = 0;
    Sha256 sha;
    for (const auto &[link, file] : source) {
        std::map<std::string, std::string> want = reader_parts(slurp(file));
        std::map<std::string, std::string> &got = saved[link];
        EXPECT_EQ(got.size(), want.size()) << file;
        for (const auto &[path, bytes] : want) {
            ++parts;
            auto hit = got.find(path);
            if (hit == got.end()) {
                ADD_FAILURE() << file << ": part " << path << " not saved";
                continue;
            }
            EXPECT_TRUE(slurp(hit->second) == bytes) << file << ": part " << path << " differs";
            sha.reset();
            sha.update(bytes.data(), bytes.size());
            std::string key = "\"path\":\"" + (path == "message" ? std::string() : path) + "\"";
            // The JSON line of this message has the part with this size and digest.
            size_t line = j.out.find("{\"file\":\"" + link + "\"");
            ASSERT_NE(line, std::string::npos) << link;
            std::string text = j.out.substr(line, j.out.find('\n', line) - line);
            size_t part = text.find(key);
            ASSERT_NE(part, std::string::npos) << file << " " << path;
            std::string tail = text.substr(part, text.find("{\"path\"", part + 1) - part);
            EXPECT_NE(tail.find("\"size\":" + std::to_string(bytes.size()) + ",\"sha256\":\"" + sha.hex() + "\""),
                      std::string::npos)
                << file << " " << path << "\n" << tail.substr(0, 300);
        }
    }
    EXPECT_GT(parts, messages.size());
}

} // namespace
