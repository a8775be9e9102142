// Every transfer codec and the dot filter through the encoder object, over
// arbitrary input.  The first byte picks the codec, direction and options,
// the next four a chunking.  The result (first failure, or the output
// after finish) must be the same whole, byte by byte, in the fuzzed
// chunking, and at every single cut of a short input; the one-shot forms
// must agree with the stream; encoding then decoding gives the input back.
#include "fuzz_util.h"

using namespace zt_fuzz;

namespace {

struct Result {
    int rc = 0;  // 0, or the first failure
    std::string out;
    bool operator==(const Result &o) const { return rc == o.rc && (rc != 0 || out == o.out); }
};

std::string show(const Result &r) { return std::to_string(r.rc) + " [" + r.out + "]"; }

Result run(int code, unsigned flags, const std::vector<std::string> &pieces)
{
    ztmime_encoder *enc = ztmime_encoder_init(code, flags);
    check(enc != nullptr, "ztmime_encoder_init");
    View out(ztview_init());
    Result r;
    for (const std::string &p : pieces) {
        View v = make_view(p);
        if ((r.rc = ztmime_encoder_update(enc, out.get(), v.get())) != 0)
            break;
        check(str(v.get()) == p, "an update changed its input");
    }
    if (r.rc == 0)
        r.rc = ztmime_encoder_finish(enc, out.get());
    r.out = str(out.get());
    ztmime_encoder_destroy(enc);
    return r;
}

// The one-shot form matching `code` and `flags`, when there is one.
bool one_shot(int code, unsigned flags, const std::string &in, Result *r)
{
    View src = make_view(in), made;
    bool dec = flags & 1;
    if (code == ZTMIME_ENC_BASE64 && (flags & ~1u) == 0)
        made.reset(dec ? ztmime_b64_decode(src.get()) : ztmime_b64_encode(src.get()));
    else if (code == ZTMIME_ENC_QP && flags == (dec ? ZTMIME_QP_DECODE | ZTMIME_QP_STRICT : 0))
        made.reset(dec ? ztmime_qp_decode(src.get()) : ztmime_qp_encode(src.get()));
    else if (code == ZTMIME_ENC_UUENCODE)
        made.reset(dec ? ztmime_uu_decode(src.get()) : ztmime_uu_encode(src.get()));
    else
        return false;
    r->rc = made ? 0 : -1;
    r->out = str(made.get());
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    static const int codes[] = {ZTMIME_ENC_BASE64, ZTMIME_ENC_QP, ZTMIME_ENC_UUENCODE, ZTMIME_ENC_DOT};
    uint8_t pick = in.byte();
    int code = codes[pick & 3];
    bool decode = pick & 4;
    unsigned extra = code == ZTMIME_ENC_BASE64 ? (pick & 8 ? ZTMIME_B64_NO_BREAKS : 0)
                     : code == ZTMIME_ENC_QP   ? (pick >> 3) & (ZTMIME_QP_DOTS | ZTMIME_QP_STRICT | ZTMIME_QP_BINARY)
                                               : 0;
    unsigned flags = (decode ? 1u : 0u) | extra;
    std::vector<size_t> sizes;
    for (int i = 0; i < 4; ++i)
        sizes.push_back(1 + in.byte() % 32);
    const std::string input = in.rest();

    // The quoted-printable encoder judges a space or CR at the end of a
    // chunk without the byte after it: cuts there may change the output.
    auto cut_matters = [&](size_t at) {
        return code == ZTMIME_ENC_QP && !decode && at && (input[at - 1] == ' ' || input[at - 1] == '\r');
    };
    Result whole = run(code, flags, {input});
    std::vector<std::vector<std::string>> chunkings = {cut(input, sizes), cut(input, {1})};
    if (input.size() <= 64)
        for (size_t at = 1; at < input.size(); ++at)
            chunkings.push_back({input.substr(0, at), input.substr(at)});
    for (const auto &pieces : chunkings) {
        bool skip = false;
        for (size_t i = 0, at = 0; i + 1 < pieces.size(); ++i)
            skip |= cut_matters(at += pieces[i].size());
        if (skip || pieces.empty())
            continue;
        Result r = run(code, flags, pieces);
        check(r == whole, "the result depends on the chunking",
              show(whole) + "\n---\n" + show(r) + "\nfirst piece " + std::to_string(pieces[0].size()));
    }

    Result once;
    if (one_shot(code, flags, input, &once))  // a one-shot failure is only null
        check((once.rc != 0) == (whole.rc != 0) && (once.rc != 0 || once.out == whole.out), "the one-shot form differs from the stream", show(whole) + "\n---\n" + show(once));

    if (!decode) {
        check(whole.rc == 0, "encoding failed");
        unsigned back = 1u | (extra & ZTMIME_QP_DOTS);
        if (code == ZTMIME_ENC_BASE64)
            back = 1;
        Result dec = run(code, back, {whole.out});
        // The quoted-printable encoder ends its output with a line end when
        // the last line is not empty: unterminated text, or any binary data.
        bool line_end_added = code == ZTMIME_ENC_QP && !input.empty() &&
                              ((extra & ZTMIME_QP_BINARY) || !input.ends_with("\n"));
        bool ok = dec.rc == 0 && dec.out == (line_end_added ? input + "\r\n" : input);
        check(ok, "decoding the encoded input does not give it back", input + "\n---\n" + whole.out + "\n---\n" + show(dec));
    }
    check_no_live_views();
    return 0;
}
