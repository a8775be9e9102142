// Every public call that allocates, under memory failure: the Nth
// allocation of the call fails, for N = 1, 2, ... until the call no longer
// meets a failure.  Each failing run must give the documented failure (-1
// or null, errno ENOMEM), leave no view alive, and the same call repeated
// on the same state must then give what a run without any failure gives.
#include <cctype>
#include <cerrno>
#include <functional>

#include "view_internal.h"
#include "zt_test.h"

using namespace zt_test;

namespace {

// A call's result: `rc` is the returned code (0 for a non-null handle, -1
// for null), `text` what the caller can observe afterwards.
struct Outcome {
    int rc;
    std::string text;
    bool operator==(const Outcome &) const = default;
};
using Call = std::function<Outcome()>;

struct Row {
    std::string name;
    std::function<Call()> make;  // prepares fresh state; returns the call on it
    // A failing allocation may instead degrade the result (a word left
    // undecoded) while the call still succeeds.
    bool may_degrade = false;
    // The call documents that a failure keeps what it consumed, so a
    // repeat does not restart; only the failure itself is checked.
    bool repeat = true;
};

// Outcome of a call returning a new view (released here).
Outcome made(ztview *v)
{
    Outcome o{v ? 0 : -1, v ? str(v) : ""};
    ztview_destroy(v);
    return o;
}

std::string show(const Outcome &o) { return std::to_string(o.rc) + " \"" + escaped(o.text) + "\""; }

std::vector<std::string> sweep(const Row &row)
{
    std::vector<std::string> faults;
    zt_alloc_fail_at(0);
    Call first = row.make();
    long base = ztview_live_count(nullptr);
    const Outcome clean = first();
    // Views the call itself keeps (records made on first use, entries
    // pushed): a failed call may keep no more, a repeated one exactly as many.
    const long kept = ztview_live_count(nullptr) - base;
    for (long nth = 1;; ++nth) {
        Call call = row.make();
        long live = ztview_live_count(nullptr);
        errno = 0;
        zt_alloc_fail_at(nth);
        Outcome got = call();
        int err = errno;
        if (zt_alloc_fail_at(0) < nth) {  // the call met no failure: every point was walked
            if (!(got == clean))
                faults.push_back("unfailed run " + show(got) + " differs from " + show(clean));
            break;
        }
        if (nth > 100000) {
            faults.push_back("no end to the allocations");
            break;
        }
        std::string at = "allocation " + std::to_string(nth) + ": ";
        bool degraded = row.may_degrade && got.rc != -1;
        if (!degraded && (got.rc != -1 || err != ENOMEM))
            faults.push_back(at + "gave " + show(got) + " errno " + std::to_string(err));
        if (long more = ztview_live_count(nullptr) - live; more > std::max(kept, 0L))
            faults.push_back(at + std::to_string(more) + " view(s) left alive");
        if (!row.repeat)
            continue;
        Outcome again = call();
        if (!(again == clean))
            faults.push_back(at + "repeated call gave " + show(again) + ", not " + show(clean));
        if (long more = ztview_live_count(nullptr) - live; more != kept)
            faults.push_back(at + "after the repeat " + std::to_string(more) + " view(s) more, not " + std::to_string(kept));
    }
    return faults;
}

// ---------------------------------------------------------------------------
// Inputs are made before the sweep arms the failure, and kept by the call.

std::shared_ptr<View> share(View v) { return std::make_shared<View>(std::move(v)); }
std::shared_ptr<View> share(const std::string &s) { return share(make_view(s)); }

// A call returning a new view from `in`, given in segments of `seg` bytes.
Call maker(std::function<ztview *(const ztview *)> fn, const std::string &in, size_t seg = 700)
{
    auto v = share(make_fragmented(in, seg));
    return [=] { return made(fn(v->get())); };
}

const std::string kMessage =
    "Subject: a\r\n folded =?utf-8?q?caf=C3=A9?=\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "pre\rx\r\n--b\r\nContent-Transfer-Encoding: base64\r\n\r\nline\r\n--b--\r\nepi\r\n";
const std::string kUuMessage = "X: y\r\n\r\nbody\r\nbegin 644 f.txt\r\n#0V%T\r\nend\r\nafter\r\n";

// A parser fed `msg` whole and finished, advanced by `skip` events (header
// fields go through ztmime_parse_header); the call takes the next event.
Call driver(const std::string &msg, uint32_t flags, int skip)
{
    auto ctx = std::shared_ptr<ztmime_ctx>(ztmime_init(20, flags), ztmime_destroy);
    ztmime_update(ctx.get(), make_view(msg).get());
    ztmime_finish(ctx.get());
    auto next = [ctx](bool interpret) {
        ztview *raw = nullptr;
        int ev = ztmime_do(ctx.get(), &raw);
        View v(raw);
        if (interpret && (ev == ZTMIME_HEADER || ev == ZTMIME_PART_HEADER))
            ztmime_parse_header(ctx.get(), v.get(), nullptr);
        return Outcome{ev == ZTMIME_ERROR ? -1 : 0, std::string(ztmime_type_to_str(ev)) + " " + str(v.get())};
    };
    for (int i = 0; i < skip; ++i)
        next(true);
    return [next] { return next(false); };
}

// A parser context and what ztmime_parse_header recorded in it.
std::string record(ztmime_ctx *ctx)
{
    return str(ctx->part.content_type) + "|" + str(ctx->part.filename) + "|" + std::to_string(ctx->part.encoding) +
           "|" + std::to_string(ctx->part.depth) +
           (ctx->part.depth ? "|" + str(reinterpret_cast<ztmime_boundary *>(ctx->part.boundaries.top)->delimiter) : "");
}

Call parse_header(const std::string &field)
{
    auto ctx = std::shared_ptr<ztmime_ctx>(ztmime_init(0, 0), ztmime_destroy);
    auto norm = std::make_shared<View>(ztview_init()), in = share(field);
    return [=] {
        int rc = ztmime_parse_header(ctx.get(), in->get(), norm->get());
        return Outcome{rc, str(norm->get()) + "|" + record(ctx.get())};
    };
}

// One tokenizer call (fn 0 value, 1 attribute name, 2 attribute value, 3
// token) on a source of one-byte segments, into a given or a new output.
Call token(int fn, const std::string &body, bool given)
{
    auto src = std::make_shared<View>(make_fragmented(body, 1));
    auto holder = share(View(given ? ztview_init() : nullptr));
    return [=] {
        ztview *out = holder->release(), *holder_view = out;
        int kind = -1, rc = fn == 0   ? ztmime_header_get_value(src->get(), &out)
                            : fn == 1 ? ztmime_header_get_attribute_name(src->get(), &out)
                            : fn == 2 ? ztmime_header_get_attribute_value(src->get(), &out)
                                      : ztmime_header_get_token(src->get(), &out, &kind);
        // A failed value or name keeps the caller's output view; a failed
        // attribute value or token releases it.
        EXPECT_TRUE(rc != -1 || out == (fn < 2 ? holder_view : nullptr));
        Outcome o{rc, std::to_string(kind) + "|" + str(out) + "|" + str(src->get())};
        if (given)
            holder->reset(out);  // refilled on the next call
        else
            ztview_destroy(out);
        return o;
    };
}

// A streaming codec behind the encoder object, `before` already fed; each
// call feeds `in` (the same bytes again on a repeat) or, with `finish`,
// ends the stream.  The text is the output and what is pending.  The dot
// filter may have passed part of a failed chunk on: then the repeat
// gives no new input and the filter passes the rest.
Call stream(int code, unsigned flags, const std::string &before, const std::string &in, bool finish = false,
            size_t seg = 0)
{
    auto enc = std::shared_ptr<ztmime_encoder>(ztmime_encoder_init(code, flags), ztmime_encoder_destroy);
    auto out = std::make_shared<View>(ztview_init());
    ztmime_encoder_update(enc.get(), out->get(), make_view(before).get());
    auto chunk = share(seg ? make_fragmented(in, seg) : make_view(in));
    auto taken = std::make_shared<bool>(false);
    return [=] {
        size_t had = ztview_get_len(out->get());
        const ztview *give = *taken ? nullptr : chunk->get();
        int rc = finish ? ztmime_encoder_finish(enc.get(), out->get())
                        : ztmime_encoder_update(enc.get(), out->get(), give);
        const ztmime_codec_state &st = enc->state;
        const ztview *pending = code == ZTMIME_ENC_BASE64 ? st.b64.pending
                                : code == ZTMIME_ENC_QP   ? st.qp.pending
                                : code == ZTMIME_ENC_UUENCODE ? st.uu.pending
                                                              : st.dot.pending;
        *taken = code == ZTMIME_ENC_DOT && rc == -1 && (ztview_get_len(pending) || ztview_get_len(out->get()) > had);
        return Outcome{rc, str(out->get()) + "|" + str(pending)};
    };
}

// Two views for the view-library rows: 70 bytes over ten segments and a
// short one; the text shows both after the call.
Call views(std::function<int(ztview *, ztview *)> op)
{
    auto a = std::make_shared<View>(make_fragmented(std::string(70, 'a'), 7));
    auto b = std::make_shared<View>(make_view("bbb"));
    auto shared = share(View(ztview_duplicate_front(a->get(), nullptr, 70)));
    return [=] {
        int rc = op(a->get(), b->get());
        EXPECT_EQ(ztview_validate(a->get()), nullptr);
        return Outcome{rc, str(a->get()) + "|" + str(b->get())};
    };
}
int ok(const void *p) { return p ? 0 : -1; }

const std::string kWords = "x =?KOI8-R?B?8NLJ18XU?= =?utf-8?q?caf=C3=A9?= =?utf-8?q?" + std::string(1500, 'z') + "?=";
const std::string kBase64 = std::string(600, 'Q'), kBig(5000, 'Q');
// Every byte value, long enough for the vector paths of the codecs.
const std::string kBinary = [] {
    std::string s;
    for (int i = 0; i < 3000; ++i)
        s += static_cast<char>(i * 7 + i / 256);
    return s;
}();
const std::string kText = std::string(300, 'x') + " \r\n.dot\r\n\xe9t\xe9\r\n";

// `s` through a one-shot codec, for the decoders' inputs.
std::string coded(ztview *(*fn)(const ztview *), const std::string &s)
{
    View out(fn(make_view(s).get()));
    return str(out.get());
}

const Row kRows[] = {
    // View library
    {"ztview_init", [] { return Call([] { return made(ztview_init()); }); }},
    {"ztview_from_buf", [] { return Call([] { return made(ztview_from_buf("abc", 3)); }); }},
    {"ztview_cut to a new view", [] {
         return views([](ztview *a, ztview *) {
             ztview *cut = ztview_cut(a, nullptr, 50);
             ztview_destroy(cut);
             return ok(cut);
         });
     }},
    {"ztview_append", [] { return views([](ztview *a, ztview *) { return ztview_append(a, std::string(9000, 'z').data(), 9000); }); }},
    // Past a megabyte: a mapped block, or one reused from the thread's cache.
    {"ztview_append large", [] {
         return views([](ztview *a, ztview *) {
             std::string big(2u << 20, 'z');
             return ztview_append(a, big.data(), big.size());
         });
     }},
    {"ztview_appends", [] { return views([](ztview *, ztview *b) { return ztview_appends(b, "xyz"); }); }},
    {"ztview_concat", [] { return views([](ztview *a, ztview *b) { return ztview_concat(b, a); }); }},
    {"ztview_concat self", [] { return views([](ztview *a, ztview *) { return ztview_concat(a, a); }); }},
    {"ztview_move", [] { return views([](ztview *a, ztview *b) { return ok(ztview_move(b, a, 50)); }); }},
    {"ztview_move self", [] { return views([](ztview *a, ztview *) { return ok(ztview_move(a, a, 50)); }); }},
    {"ztview_cut", [] { return views([](ztview *a, ztview *b) { return ok(ztview_cut(a, b, 50)); }); }},
    {"ztview_duplicate_front",
     [] { return views([](ztview *a, ztview *b) { return ok(ztview_duplicate_front(a, b, 50)); }); }},
    {"ztview_skip_until to a new view", [] {
         return views([](ztview *a, ztview *) {
             ztview *cut = ztview_skip_until(a, nullptr, "b");
             ztview_destroy(cut);
             return ok(cut);
         });
     }},
    {"ztiterator_create", [] {
         return views([](ztview *a, ztview *) {
             ztiterator *it = ztiterator_create(a);
             ztiterator_destroy(it);
             return ok(it);
         });
     }},
    {"ztview_reserve", [] { return views([](ztview *a, ztview *) { return ok(ztview_reserve(a, 4000)); }); }},
    {"ztview_get_iovec", [] {
         // Bytes shared with another view are copied first.
         return views([](ztview *a, ztview *) {
             struct iovec *iov = ztview_get_iovec(a, 0, nullptr);
             int rc = ok(iov);
             std::free(iov);
             return rc;
         });
     }},

    // Parser
    {"ztmime_init", [] {
         return Call([] {
             ztmime_ctx *c = ztmime_init(0, 0);
             ztmime_destroy(c);
             return Outcome{c ? 0 : -1, ""};
         });
     }},
    {"ztmime_update", [] {
         auto ctx = std::shared_ptr<ztmime_ctx>(ztmime_init(0, 0), ztmime_destroy);
         ztmime_update(ctx.get(), make_fragmented("Subject: x\r\n", 3).get());
         auto in = share(make_fragmented("To: y\r\n\r\nbody", 2));
         return Call([ctx, in] {
             int rc = ztmime_update(ctx.get(), in->get());
             return Outcome{rc, str(ctx->input)};
         });
     }},
    {"ztmime_reset", [] {
         auto ctx = std::shared_ptr<ztmime_ctx>(ztmime_init(0, 0), ztmime_destroy);
         ztmime_update(ctx.get(), make_view("Subject: x\r\n").get());
         return Call([ctx] { return Outcome{ztmime_reset(ctx.get()), record(ctx.get())}; });
     }},
    {"ztmime_part_reset", [] {
         // A record whose views were released: the reset makes them again.
         auto part = std::make_shared<ztmime_part>();
         return Call([part] {
             int rc = ztmime_part_reset(part.get());
             Outcome o{rc, std::to_string(part->filename != nullptr) + std::to_string(part->content_type != nullptr)};
             ztview_destroy(part->filename);
             ztview_destroy(part->content_type);
             part->filename = part->content_type = nullptr;
             return o;
         });
     }},
    {"ztmime_boundary_add", [] {
         auto ctx = std::shared_ptr<ztmime_ctx>(ztmime_init(0, 0), ztmime_destroy);
         auto b = share("boundary-value");
         return Call([ctx, b] {
             return Outcome{ztmime_boundary_add(&ctx->part, b->get()), record(ctx.get())};
         });
     }},
    // What was recorded before a failure stays recorded, so a repeat does
    // not push the boundary entry again.
    {"ztmime_parse_header Content-Type", [] { return parse_header("Content-Type: multipart/mixed; boundary=\"b\"; name=x\r\n"); },
     false, false},
    {"ztmime_parse_header Content-Transfer-Encoding", [] { return parse_header("Content-Transfer-Encoding: base64\r\n"); }},
    {"ztmime_parse_header Subject", [] { return parse_header("Subject: =?utf-8?q?a?= b\r\n"); }, true},
    {"ztmime_parse_header Content-Disposition",
     [] { return parse_header("Content-Disposition: attachment; filename*=ISO-8859-1''%E9t%E9\r\n"); }},
    {"ztmime_parse_header Content-Disposition with parameters",
     [] { return parse_header("Content-Disposition: attachment; size=3; filename=\"a b\"\r\n"); }},
    {"ztmime_parse_uu_header", [] {
         auto line = share("begin 644 a b.txt\r\n"), name = share(View(ztview_init()));
         return Call([=] {
             int rc = ztmime_parse_uu_header(line->get(), name->get());
             return Outcome{rc == 1 ? 0 : -1, str(name->get())};
         });
     }},

    // Header toolkit.  A failure while moving an attribute value or a token
    // keeps what was read before it.
    {"ztmime_header_get_value", [] { return token(0, " text/pl (c) \"q\" b;x", false); }},
    {"ztmime_header_get_value into a view", [] { return token(0, " text/pl (c) \"q\" b;x", true); }},
    {"ztmime_header_get_attribute_name", [] { return token(1, "; name = a", false); }},
    {"ztmime_header_get_attribute_value", [] { return token(2, "= a (c) \"q\\\"s\" b;x", false); }, false, false},
    {"ztmime_header_get_attribute_value into a view", [] { return token(2, "= a (c) \"q\\\"s\" b;x", true); }, false, false},
    {"ztmime_header_get_token", [] { return token(3, " at(c)om \"q\" ;x", false); }, false, false},
    {"ztmime_header_get_token into a view", [] { return token(3, " \"q\\\"s\" x", true); }, false, false},
    {"ztmime_unfold_header", [] {
         auto in = share(make_fragmented("A: b\r\n\tc\r\n d\r\n", 3));
         return Call([in] { return made(ztmime_unfold_header(in->get(), nullptr)); });
     }},
    {"ztmime_unfold_header into a view", [] {
         auto dst = share("kept "), in = share("A: b\r\n\tc\r\n");
         return Call([dst, in] {
             ztview *r = ztmime_unfold_header(in->get(), dst->get());
             return Outcome{r ? 0 : -1, str(dst->get())};
         });
     }},
    {"ztmime_normalize_header", [] {
         auto dst = share("old"), src = share("Subject: \xe9t\xe9 =?utf-8?q?caf=C3=A9?= =?KOI8-R?B?8NLJ18XU?= " + std::string(1200, 'x'));
         return Call([dst, src] {
             int rc = ztmime_normalize_header(src->get(), dst->get());
             EXPECT_TRUE(rc == 0 || ztview_get_len(dst->get()) == 0) << "a failure leaves the destination empty";
             return Outcome{rc, str(dst->get())};
         });
     }, true},
    {"ztmime_i18n", [] { return maker(ztmime_i18n, kWords); }, true},
    {"ztmime_i18n_chunk", [] {
         auto in = share("=?utf-8?q?" + std::string(1500, 'z') + "?= rest");
         return Call([in] {
             uint32_t used = 0;
             Outcome o = made(ztmime_i18n_chunk(in->get(), &used));
             o.text += "|" + std::to_string(used);
             return o;
         });
     }, true},

    // Codecs: init, reset of a null state, one-shots.
    {"ztmime_b64_init", [] { return Call([] { auto *s = ztmime_b64_init(1); ztmime_b64_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_b64_reset null", [] { return Call([] { auto *s = ztmime_b64_reset(nullptr, 0); ztmime_b64_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_qp_init", [] { return Call([] { auto *s = ztmime_qp_init(1); ztmime_qp_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_qp_reset null", [] { return Call([] { auto *s = ztmime_qp_reset(nullptr, 0); ztmime_qp_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_uu_init", [] { return Call([] { auto *s = ztmime_uu_init(1); ztmime_uu_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_uu_reset null", [] { return Call([] { auto *s = ztmime_uu_reset(nullptr, 0); ztmime_uu_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_dot_init", [] { return Call([] { auto *s = ztmime_dot_init(1); ztmime_dot_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_dot_reset null", [] { return Call([] { auto *s = ztmime_dot_reset(nullptr, 0); ztmime_dot_destroy(s); return Outcome{s ? 0 : -1, ""}; }); }},
    {"ztmime_b64_encode", [] { return maker(ztmime_b64_encode, kBinary); }},
    {"ztmime_b64_decode", [] { return maker(ztmime_b64_decode, coded(ztmime_b64_encode, kBinary) + "QUI="); }},
    {"ztmime_qp_encode", [] { return maker(ztmime_qp_encode, kText + kBinary); }},
    {"ztmime_qp_decode", [] { return maker(ztmime_qp_decode, coded(ztmime_qp_encode, kText + kBinary)); }},
    {"ztmime_uu_encode", [] { return maker(ztmime_uu_encode, kBinary); }},
    {"ztmime_uu_decode", [] { return maker(ztmime_uu_decode, coded(ztmime_uu_encode, kBinary)); }},

    // Encoder object and, through it, each codec's update and finish.
    {"ztmime_encoder_init", [] {
         return Call([] {
             std::string text;
             for (int code : {ZTMIME_ENC_BASE64, ZTMIME_ENC_QP, ZTMIME_ENC_UUENCODE, ZTMIME_ENC_DOT}) {
                 ztmime_encoder *e = ztmime_encoder_init(code, 0);
                 ztmime_encoder_destroy(e);
                 if (!e)
                     return Outcome{-1, text};
                 text += std::to_string(code);
             }
             return Outcome{0, text};
         });
     }},
    {"ztmime_encoder_reset to another codec", [] {
         auto enc = std::make_shared<ztmime_encoder *>(ztmime_encoder_init(ZTMIME_ENC_BASE64, 0));
         return Call([enc] {
             // A failed reset releases the old object: the repeat starts from null.
             *enc = ztmime_encoder_reset(*enc, ZTMIME_ENC_QP, 1);
             Outcome o{*enc ? 0 : -1, *enc ? std::to_string((*enc)->code) : ""};
             ztmime_encoder_destroy(*enc);
             *enc = nullptr;
             return o;
         });
     }},
    {"base64 encode update", [] { return stream(ZTMIME_ENC_BASE64, 0, "", kText); }},
    // With input already pending, a failed update keeps nothing of the
    // new chunk: the repeat takes it once.
    {"base64 encode update with pending", [] { return stream(ZTMIME_ENC_BASE64, 0, "AB", "C" + kBig, false, 1000); }},
    {"base64 encode finish", [] { return stream(ZTMIME_ENC_BASE64, 0, "ab", "", true); }},
    {"base64 decode update", [] { return stream(ZTMIME_ENC_BASE64, 1, "", kBase64); }},
    {"base64 decode update with pending", [] { return stream(ZTMIME_ENC_BASE64, 1, "QU", "JDQUJD\r\n" + kBig, false, 1000); }},
    {"base64 decode update ending in pads", [] { return stream(ZTMIME_ENC_BASE64, 1, "QQ", "=="); }},
    {"qp encode update", [] { return stream(ZTMIME_ENC_QP, 0, "", kText); }},
    {"qp encode update with pending", [] { return stream(ZTMIME_ENC_QP, 0, "a", "b\r\n" + kBig, false, 1000); }},
    {"qp encode finish", [] { return stream(ZTMIME_ENC_QP, 0, "abc", "", true); }},
    {"qp decode update", [] { return stream(ZTMIME_ENC_QP, 1, "", kText + "=C3=A9"); }},
    {"qp decode update with pending", [] { return stream(ZTMIME_ENC_QP, 1, "a=4", "1=\r\nb" + kBig, false, 1000); }},
    {"uu encode update", [] { return stream(ZTMIME_ENC_UUENCODE, 0, "Cat", kBig); }},
    {"uu encode finish", [] { return stream(ZTMIME_ENC_UUENCODE, 0, std::string(50, 'q'), "", true); }},
    {"uu decode update", [] { return stream(ZTMIME_ENC_UUENCODE, 1, "#0V", "%T\r\nM" + std::string(60, 'a') + "\r\nN" + std::string(400, 'z')); }},
    {"uu decode update with pending", [] { return stream(ZTMIME_ENC_UUENCODE, 1, "#0V", "%T\r\n" + kBig, false, 1000); }},
    {"dot add update", [] { return stream(ZTMIME_ENC_DOT, 0, "x", ".a\nb\n.c\n..d\n.", false, 2); }},
    {"dot remove update", [] { return stream(ZTMIME_ENC_DOT, 1, "", ".a\nb\n.c\n..d\n.", false, 2); }},

    // Scrambling, on a view of segments shared with another view.
    {"ztmime_cloak", [] {
         auto v = share(make_fragmented("cloak these shared bytes", 5));
         auto shared = std::make_shared<View>(ztview_duplicate_front(v->get(), nullptr, 24));
         return Call([=] { return Outcome{ztmime_cloak(v->get()), str(v->get()) + "|" + str(shared->get())}; });
     }},
    {"ztmime_lock", [] {
         auto v = share(make_fragmented("lock these shared bytes", 5));
         auto shared = std::make_shared<View>(ztview_duplicate_front(v->get(), nullptr, 10));
         return Call([=] { return Outcome{ztmime_lock(v->get(), 0x11), str(v->get()) + "|" + str(shared->get())}; });
     }},
};

// ztmime_do at every event of a few messages, after the rows above.
std::vector<Row> all_rows()
{
    std::vector<Row> rows(std::begin(kRows), std::end(kRows));
    const struct { const char *name; std::string msg; uint32_t flags; } runs[] = {
        {"multipart", kMessage, 0},
        {"dot end and binary", kMessage + ".\r\nrest", ZTMIME_FLAG_DOT_END | ZTMIME_FLAG_BINARY},
        {"uuencode", kUuMessage, ZTMIME_FLAG_UUENCODE},
        {"uuencode with a bad begin line", "A: b\r\n\r\nx\r\nbegin 644 f.txt\r\n#86)C\r\n`\r\nend\r\nbegin 0 g\r\n",
         ZTMIME_FLAG_UUENCODE},
    };
    for (const auto &r : runs) {
        for (int k = 0;; ++k) {
            std::string ev = driver(r.msg, r.flags, k)().text;
            if (ev.starts_with("ZTMIME_NO_DATA"))
                break;
            rows.push_back({"ztmime_do " + std::string(r.name) + " event " + std::to_string(k),
                            [=] { return driver(r.msg, r.flags, k); }});
        }
    }
    return rows;
}

class AllocSweep : public testing::TestWithParam<Row> {};

TEST_P(AllocSweep, FailsCleanlyAndRepeats)
{
    const Row &row = GetParam();
    std::vector<std::string> faults = sweep(row);
    std::string all;
    for (const std::string &f : faults)
        all += f + "\n";
    EXPECT_TRUE(faults.empty()) << all;
}

INSTANTIATE_TEST_SUITE_P(Entries, AllocSweep, testing::ValuesIn(all_rows()), [](const auto &info) {
    std::string n;
    for (char c : info.param.name)
        n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return n;
});

} // namespace
