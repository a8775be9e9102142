// Messages of the mime4j corpus where our parser's rules give another
// structure than the corpus's expected files, each with the rule that
// explains it.  Shared by the conformance test and the reader's tests.
#pragma once

#include <map>
#include <string>

namespace {

// Our rules differ from the corpus parser's for these messages.
const std::map<std::string, std::string> known_differences = {
    {"testmsgs/bad-newlines-multiple-parts-base64.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"testmsgs/base64encoded-rfc822message-nested.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"testmsgs/base64encoded-rfc822message.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"mimetools-testmsgs/multi-2gifs-base64.msg", "an encoded message/rfc822 body is parsed as it stands, not decoded first"},
    {"testmsgs/basic-plain-with-bad-header-separator.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/malformedHeader-nocrlfcrlf.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/malformedHeader-noheader.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/malformedHeaderStartsBody-nocrlfcrlf.msg", "expected file made with a special option that loses a line"},
    {"testmsgs/malformedHeaderStartsBody-noheader.msg", "expected file made with a special option that loses a line"},
    {"mimetools-testmsgs/hdr-fakeout.msg", "a line failing the header-name test ends the header block"},
    {"testmsgs/obsolete.msg", "\"Name :\" fails the header-name test and ends the header block"},
    {"mimetools-testmsgs/jt-0498.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"mimetools-testmsgs/mp-msg-rfc822.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"mimetools-testmsgs/twopart.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"mimetools-testmsgs/uu-junk.msg", "a leading mbox \"From \" line fails the header-name test: all is body"},
    {"testmsgs/multipartdigestnestedemptyparts.msg", "no default type for parts of multipart/digest"},
    {"mimetools-testmsgs/multi-digest.msg", "no default type for parts of multipart/digest"},
    {"mimetools-testmsgs/multi-badnames.msg", "a boundary value keeps the line break folded inside its quotes"},
    {"mimetools-testmsgs/multi-clen.msg", "a boundary value keeps the line break folded inside its quotes"},
    {"mimetools-testmsgs/multi-simple.msg", "a boundary value keeps the line break folded inside its quotes"},
    {"mimetools-testmsgs/frag.msg", "the close delimiter around an embedded message leaves that boundary open: outer closes are body"},
    {"testmsgs/missing-inner-boundary.msg", "only the innermost boundary is tested: outer delimiters are inner body"},
    {"mimetools-testmsgs/multi-frag.msg", "only the innermost boundary is tested: outer delimiters are inner body"},
};

// Decoded bodies that differ from the corpus's expected files for a rule of
// our codecs rather than of the structure.
const std::map<std::string, std::string> known_decoding_differences = {
    {"mimetools-testmsgs/empty-preamble.msg", "a quoted-printable hard line break is kept as written (LF), not made CR LF"},
    {"mimetools-testmsgs/german-qp.msg", "a quoted-printable hard line break is kept as written (LF), not made CR LF"},
};

} // namespace
