// `ztmime decode` / `ztmime encode`: stream a file or stdin through one
// encoder object in 64 KiB chunks and write the result to stdout.
#include "codec_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ztmime.h"

namespace {

constexpr size_t kChunk = 64 * 1024;

struct Codec {
    const char *option;
    int code;
    const char *what; // for the message when the codec gives no text
};

const Codec codecs[] = {
    {"--base64", ZTMIME_ENC_BASE64, "base64"},
    {"--qp", ZTMIME_ENC_QP, "quoted-printable"},
    {"--uu", ZTMIME_ENC_UUENCODE, "uuencoded"},
    {"--dot", ZTMIME_ENC_DOT, "dot-stuffed"},
};

int usage(const char *command, bool help = false)
{
    std::fprintf(help ? stdout : stderr, "usage: ztmime %s --base64|--qp|--uu|--dot [FILE|-]\n", command);
    if (help)
        std::fprintf(stdout,
                     "%s FILE (or standard input) with the chosen transfer codec and writes the\n"
                     "result to standard output.  Exit status: 0 done, 1 malformed input (what\n"
                     "came before the fault is still written), 2 usage error, 3 a file could not\n"
                     "be read or written.\n",
                     std::strcmp(command, "decode") ? "Encodes" : "Decodes");
    return help ? 0 : 2;
}

// Writes the view's segments to stdout and empties it.  False on a write
// error.
bool drain(ztview *out)
{
    size_t count = ztview_segment_count(out);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char *bytes;
        size_t len;
        if (ztview_segment(out, i, &bytes, &len) == 0 && len &&
            std::fwrite(bytes, 1, len, stdout) != len)
            return false;
    }
    ztview_rewind(out);
    return true;
}

struct Resources {
    FILE *file = nullptr;
    ztmime_encoder *enc = nullptr;
    ztview *in = nullptr;
    ztview *out = nullptr;
    ~Resources()
    {
        if (file && file != stdin)
            std::fclose(file);
        ztmime_encoder_destroy(enc);
        ztview_destroy(in);
        ztview_destroy(out);
    }
};

} // namespace

int run_codec_command(const char *command, bool decode, int argc, char **argv)
{
    const Codec *codec = nullptr;
    const char *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const Codec *match = nullptr;
        for (const Codec &c : codecs)
            if (!std::strcmp(argv[i], c.option))
                match = &c;
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help"))
            return usage(command, true);
        if (match) {
            if (codec)
                return usage(command);
            codec = match;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "ztmime %s: unknown option '%s'\n", command, argv[i]);
            return usage(command);
        } else if (!path) {
            path = argv[i];
        } else {
            return usage(command);
        }
    }
    if (!codec)
        return usage(command);

    Resources r;
    if (!path || !std::strcmp(path, "-")) {
        r.file = stdin;
    } else if (!(r.file = std::fopen(path, "rb"))) {
        std::fprintf(stderr, "ztmime %s: %s: %s\n", command, path, std::strerror(errno));
        return 3;
    }
    r.enc = ztmime_encoder_init(codec->code, decode ? 1u : 0u);
    r.in = ztview_init();
    r.out = ztview_init();
    if (!r.enc || !r.in || !r.out) {
        std::fprintf(stderr, "ztmime %s: out of memory\n", command);
        return 1;
    }

    auto fail = [&](const char *text) {
        drain(r.out); // what was decoded before the fault is still delivered
        std::fflush(stdout);
        if (!text || !*text)
            std::fprintf(stderr, "ztmime %s: malformed %s input\n", command, codec->what);
        else
            std::fprintf(stderr, "ztmime %s: %s\n", command, text);
        return 1;
    };

    for (;;) {
        void *room = ztview_reserve(r.in, kChunk);
        if (!room) {
            std::fprintf(stderr, "ztmime %s: out of memory\n", command);
            return 1;
        }
        size_t n = std::fread(room, 1, kChunk, r.file);
        if (n == 0)
            break;
        ztview_commit(r.in, n);
        int rc = ztmime_encoder_update(r.enc, r.out, r.in);
        ztview_rewind(r.in);
        if (rc != 0)
            return fail(ztmime_encoder_get_error(r.enc));
        if (!drain(r.out)) {
            std::fprintf(stderr, "ztmime %s: write error: %s\n", command, std::strerror(errno));
            return 3;
        }
    }
    if (std::ferror(r.file)) {
        std::fprintf(stderr, "ztmime %s: read error: %s\n", command, std::strerror(errno));
        return 3;
    }
    if (ztmime_encoder_finish(r.enc, r.out) != 0)
        return fail(ztmime_encoder_get_error(r.enc));
    if (!drain(r.out) || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "ztmime %s: write error: %s\n", command, std::strerror(errno));
        return 3;
    }
    return 0;
}
