// Many threads at once, each working on handles of its own: outputs equal
// the single-threaded ones, errors stay in the thread that provoked them,
// and views handed between threads (sharing blocks) release cleanly.  Run
// under ThreadSanitizer by `make test`.
#include <dirent.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "parser_harness.h"
#include "zt_test.h"

namespace {

using zt_test::str;
using zt_test::View;

// The golden messages and the corpus messages (when the corpus is there).
const std::vector<std::string> &messages()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> out;
        for (const std::string &n : parser_test::golden_names())
            out.push_back(zt_test::read_file(parser_test::golden_dir + n + ".eml"));
        for (const char *sub : {"/mime4j/testmsgs/", "/mimekit/messages/"}) {
            std::string dir = std::string(ZT_CORPUS_DIR) + sub;
            std::vector<std::string> names;
            if (DIR *d = opendir(dir.c_str())) {
                while (dirent *e = readdir(d)) {
                    std::string n = e->d_name;
                    if (n.ends_with(".msg") || n.ends_with(".eml") || n.ends_with(".txt"))
                        names.push_back(n);
                }
                closedir(d);
            }
            std::sort(names.begin(), names.end());
            for (const std::string &n : names)
                out.push_back(zt_test::read_file(dir + n));
        }
        return out;
    }();
    return all;
}

// Decodes a part's body as its events arrive, with the part's encoding.
struct BodyDecoder {
    ztmime_b64 *b64 = nullptr;
    ztmime_qp *qp = nullptr;
    void start(int encoding)
    {
        end(nullptr);
        if (encoding == ZTMIME_ENC_BASE64)
            b64 = ztmime_b64_init(0);
        else if (encoding == ZTMIME_ENC_QP)
            qp = ztmime_qp_init(0);
    }
    bool active() const { return b64 || qp; }
    void update(ztview *out, const ztview *in)
    {
        if (b64)
            ztmime_b64_update(b64, out, in);
        else if (qp)
            ztmime_qp_update(qp, out, in);
    }
    void end(ztview *out)
    {
        if (b64 && out)
            ztmime_b64_finish(b64, out);
        if (qp && out)
            ztmime_qp_finish(qp, out);
        ztmime_b64_destroy(b64);
        ztmime_qp_destroy(qp);
        b64 = nullptr;
        qp = nullptr;
    }
};

// Parses one message with header interpretation, normalised and decoded
// header fields and decoded bodies; the log does not depend on chunking.
// rng null: the message in one piece; else pieces of 1 to 4096 bytes.
std::string digest(const std::string &msg, std::mt19937 *rng)
{
    std::string log;
    ztmime_ctx *ctx = ztmime_init(0, ZTMIME_FLAG_UUENCODE);
    View norm(ztview_init());
    View decoded(ztview_init());
    BodyDecoder dec;
    std::string body;
    int last = -2;
    auto flush = [&] {
        dec.end(decoded.get());
        if (!body.empty())
            log += "B:" + std::to_string(body.size()) + ":" + body + "\n";
        if (ztview_get_len(decoded.get()))
            log += "D:" + str(decoded.get()) + "\n";
        body.clear();
        ztview_rewind(decoded.get());
    };
    auto drain = [&] {
        for (;;) {
            ztview *out = nullptr;
            int ev = ztmime_do(ctx, &out);
            if (ev == ZTMIME_NO_DATA) {
                ztview_destroy(out);
                return true;
            }
            if (ev == ZTMIME_PART_BODY) {
                body += str(out);
                dec.update(decoded.get(), out);
            } else {
                flush();
                log += ztmime_type_to_str(ev);
                log += "\n";
            }
            if (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER) {
                ztmime_parse_header(ctx, out, norm.get());
                log += "N:" + str(norm.get()) + "\n";
                View words(ztmime_i18n(norm.get()));
                log += "I:" + str(words.get()) + "\n";
            } else if (ev == ZTMIME_HEADERS_DONE || ev == ZTMIME_PART_HEADERS_DONE) {
                dec.start(ctx->part.encoding);
            }
            ztview_destroy(out);
            last = ev;
            if (ev == ZTMIME_ERROR || ev == ZTMIME_MSG_DONE)
                return false;
        }
    };
    bool going = true;
    for (size_t off = 0; going && off < msg.size();) {
        size_t n = rng ? 1 + (*rng)() % 4096 : msg.size();
        if (rng && (*rng)() % 8 == 0)
            n = 1 + (*rng)() % 7;  // now and then a very small piece
        n = std::min(n, msg.size() - off);
        View piece(ztview_from_buf(msg.data() + off, n));
        off += n;
        ztmime_update(ctx, piece.get());
        going = drain();
    }
    ztmime_finish(ctx);
    if (going)
        drain();
    flush();
    dec.end(nullptr);
    ztmime_destroy(ctx);
    return log + std::to_string(last);
}

// Runs fn(thread index) in `n` threads at once and joins them.
template <class Fn> void in_threads(int n, Fn fn)
{
    std::vector<std::thread> ts;
    for (int i = 0; i < n; ++i)
        ts.emplace_back(fn, i);
    for (std::thread &t : ts)
        t.join();
}

class Threads : public testing::TestWithParam<int> {};

TEST_P(Threads, EveryThreadGetsTheSingleThreadedOutput)
{
    const std::vector<std::string> &msgs = messages();
    std::vector<std::string> want;
    for (const std::string &m : msgs)
        want.push_back(digest(m, nullptr));
    std::vector<std::vector<size_t>> wrong(GetParam());
    in_threads(GetParam(), [&](int t) {
        std::mt19937 rng(1000 + t);
        // Each thread walks the messages from a different start, so that
        // different work overlaps.
        for (size_t k = 0; k < msgs.size(); ++k) {
            size_t i = (k + t * 7) % msgs.size();
            if (digest(msgs[i], &rng) != want[i])
                wrong[t].push_back(i);
        }
    });
    for (int t = 0; t < GetParam(); ++t)
        EXPECT_TRUE(wrong[t].empty()) << "thread " << t << ": " << wrong[t].size() << " messages differ, first "
                                      << wrong[t][0];
}

TEST_P(Threads, ErrorTextsStayInTheirThread)
{
    std::vector<int> mixed(GetParam());
    in_threads(GetParam(), [&](int t) {
        if (t == 0) {
            // Provokes nothing: its text stays empty while the others fail.
            for (int k = 0; k < 2000; ++k)
                mixed[t] += ztmime_strerror()[0] != 0;
            return;
        }
        std::string token = "t" + std::to_string(t) + "\"" + std::string(t, 'x');
        std::string want = "Header value contains invalid double quote character '" +
                           zt_test::escaped(token) + "'";
        for (int k = 0; k < 500; ++k) {
            View src(zt_test::make_view(token));
            ztview *out = nullptr;
            ztmime_header_get_value(src.get(), &out);
            ztview_destroy(out);
            mixed[t] += want != ztmime_strerror();
            // The scratch slot that rendered the token is this thread's too.
            mixed[t] += zt_test::escaped(token) != ztview_esc_get_buf(1);
        }
    });
    for (int t = 0; t < GetParam(); ++t)
        EXPECT_EQ(mixed[t], 0) << "thread " << t;
}

// A queue of views from producers to consumers.
struct Handoff {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::pair<ztview *, std::string>> q;
    int producers_left = 0;
};

TEST_P(Threads, ViewsHandedBetweenThreadsShareBlocksAndReleaseCleanly)
{
    long before = ztview_live_count(nullptr);
    Handoff h;
    int n = GetParam();
    h.producers_left = n / 2;
    std::vector<int> bad(n);
    in_threads(n, [&](int t) {
        if (t < n / 2) {
            // Producer: one source view, appended to all the time, whose
            // blocks the handed-out fronts and copies share.
            View src(ztview_init());
            std::string model;
            for (int k = 0; k < 400; ++k) {
                std::string add = std::string(1 + k % 37, static_cast<char>('a' + (k + t) % 26));
                ztview_append(src.get(), add.data(), add.size());
                model += add;
                size_t cut = model.size() / 2;
                ztview *copy = ztview_duplicate_front(src.get(), nullptr, cut);
                ztview *front = ztview_cut(src.get(), nullptr, cut / 2);
                std::lock_guard<std::mutex> lock(h.m);
                h.q.emplace_back(copy, model.substr(0, cut));
                h.q.emplace_back(front, model.substr(0, cut / 2));
                model.erase(0, cut / 2);
                h.cv.notify_one();
            }
            bad[t] += str(src.get()) != model;
            std::lock_guard<std::mutex> lock(h.m);
            if (--h.producers_left == 0)
                h.cv.notify_all();
            return;
        }
        // Consumer: checks, appends to (into the shared block's room when
        // free) and releases what it gets.
        for (;;) {
            std::unique_lock<std::mutex> lock(h.m);
            h.cv.wait(lock, [&] { return !h.q.empty() || h.producers_left == 0; });
            if (h.q.empty())
                return;
            auto [v, want] = h.q.front();
            h.q.pop_front();
            lock.unlock();
            bad[t] += str(v) != want;
            ztview_appends(v, "++");
            bad[t] += str(v) != want + "++";
            ztview_destroy(v);
        }
    });
    for (int t = 0; t < n; ++t)
        EXPECT_EQ(bad[t], 0) << "thread " << t;
    EXPECT_EQ(ztview_live_count(nullptr), before);
}

INSTANTIATE_TEST_SUITE_P(N, Threads, testing::Values(4, 8));

} // namespace
