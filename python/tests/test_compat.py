"""Decoded leaves equal what Python's email package decodes, wherever the
two sets of rules agree.  Each difference must be explained by one of RULES;
a leaf no rule explains fails the test."""

import email
import email.policy
import re
from email.parser import BytesParser

import pytest

import ztmime
from conftest import CORPUS, corpus_messages, needs_corpus

# Where our rules and the email package's part ways, and how to recognise it.
RULES = {
    "unsplit-multipart": "a multipart whose delimiter never comes: a container without children "
                         "(or cut short) for us, one leaf holding the raw body for the email package",
    "decode-problem": "transfer decoding failed on some lines: we leave those lines out and flag "
                      "the part, the email package decodes what it can of them or keeps the raw text",
    "encoding-name-space": "white space after the transfer encoding's name: we still know the "
                           "name, the email package does not and hands the body back undecoded",
    "truncated": "the input ended inside the part: where the part ends is a matter of rules",
    "message-subtype": "message/ types other than rfc822 (partial, delivery-status, disposition-"
                       "notification): we hand out the body, the email package parses it as header "
                       "blocks or sub-messages",
    "delimiter-prefix": "a line that begins with the delimiter and goes on with other text is a "
                        "delimiter for us (the boundary need only begin the line), body text for the "
                        "email package",
    "empty-part": "a delimiter line followed at once by the next one: an empty part for us, the "
                  "email package pairs the parts differently",
    "unterminated-header": "the input ends on a header-like line without a line end: a last line "
                           "without a line end is data for us, a header field for the email package",
    "qp-soft-break-pair": "quoted-printable \"=\" LF LF (or CR CR): our decoder takes both line ends "
                          "as the one soft line break, the email package keeps the second",
}

def boundaries(msg) -> list:
    found = []
    for p in msg.walk():
        if p.content_type.startswith("multipart/"):
            m = re.search(r'boundary\s*=\s*"?([^";]+)"?', p.headers.get("content-type", ""), re.I)
            if m:
                found.append(re.escape(m.group(1).strip().encode()))
    return found


def message_rules(msg, data: bytes, theirs: list) -> list:
    """Rules that apply to the message as a whole, judged from both trees and
    its bytes; they explain a different number of leaves too."""
    rules = []
    if any(p.content_type.startswith("message/") and p.content_type != "message/rfc822" for p in msg.walk()):
        rules.append("message-subtype")
    if any(p.problems & ztmime.Problem.TRUNCATED for p in msg.walk()):
        rules.append("truncated")
    if any(t.get_content_maintype() == "multipart" for t in theirs):
        rules.append("unsplit-multipart")
    for b in boundaries(msg):
        if re.search(rb"^--" + b + rb"(?!--)[ \t]*[^\s]", data, re.M):
            rules.append("delimiter-prefix")
        if re.search(rb"^--" + b + rb"[ \t]*\r?\n--" + b, data, re.M):
            rules.append("empty-part")
    return rules


def email_leaves(data: bytes) -> list:
    m = BytesParser(policy=email.policy.compat32).parsebytes(data)
    return [p for p in m.walk() if not p.is_multipart()]


def our_leaves(msg) -> list:
    return [p for p in msg.walk() if not p.is_container]


def explain(ours, theirs, got: bytes, want: bytes, data: bytes, whole: list):
    raw_cte = str(theirs.get("content-transfer-encoding", ""))
    cte = raw_cte.strip().lower()
    if raw_cte.lower() != cte and raw_cte.lower().rstrip() == cte:
        return "encoding-name-space"
    if ours.content_type.startswith("message/"):
        return "message-subtype"
    if got and not want and b"\n" not in got and data.endswith(got):
        return "unterminated-header"
    if ours.problems & ztmime.Problem.DECODE:
        return "decode-problem"
    if cte == "quoted-printable" and len(got) < len(want) and \
            got.replace(b"\n", b"").replace(b"\r", b"") == want.replace(b"\n", b"").replace(b"\r", b""):
        return "qp-soft-break-pair"
    if ours.problems & ztmime.Problem.TRUNCATED:
        return "truncated"
    return whole[0] if whole else None


def compare(data: bytes):
    """(matched leaves, {rule: count}, unexplained differences)."""
    if data.startswith(b"From "):
        # an envelope line first: read it as the one message of an mbox, as
        # the email package takes that line as the envelope
        r = ztmime.Reader(mbox=True)
        r.feed(data)
        r.finish()
        msg = next(r.messages())
    else:
        msg = ztmime.parse(data)
    ours = our_leaves(msg)
    theirs = email_leaves(data)
    whole = message_rules(msg, data, theirs)
    if len(ours) != len(theirs):
        if whole:
            return 0, {whole[0]: 1}, []
        return 0, {}, [("tree", [p.content_type for p in ours], [t.get_content_type() for t in theirs])]
    matched, rules, unexplained = 0, {}, []
    for o, t in zip(ours, theirs):
        want = t.get_payload(decode=True) or b""
        if isinstance(want, str):
            want = want.encode("utf-8", "surrogateescape")
        got = o.content
        if got == want:
            matched += 1
            continue
        rule = explain(o, t, got, want, data, whole)
        if rule is None:
            unexplained.append((o.path, o.content_type, got[:60], want[:60]))
        else:
            rules[rule] = rules.get(rule, 0) + 1
    return matched, rules, unexplained


@pytest.mark.parametrize("data", [
    b"Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n\nJVBERi0xLjQK\nAAEC\n",
    b"Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\nh\xc3\xa9llo\nworld\n",
    b"Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\nsoft=\n break =3D\n",
    b"Content-Type: multipart/mixed; boundary=z\n\n--z\n\none\n--z\nContent-Transfer-Encoding: base64\n\n"
    b"AAECAw==\n--z--\n",
    b"Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\nsoft=\r\n b =3D\r\ntwo\r\n",
    b"Content-Type: application/x-foo\nContent-Transfer-Encoding: x-uuencode\n\nbegin 644 f\n#86)C\n`\nend\n",
    b"Content-Type: application/x-foo\nContent-Transfer-Encoding: x-gzip64\n\nabc\ndef\n",
])
def test_handmade_leaves_agree(data):
    matched, rules, unexplained = compare(data)
    assert unexplained == [] and rules == {} and matched > 0


@needs_corpus
def test_corpus_leaves_agree_or_a_rule_says_why():
    total_matched, total_rules, failures = 0, {}, []
    for path in corpus_messages():
        matched, rules, unexplained = compare(path.read_bytes())
        total_matched += matched
        for k, v in rules.items():
            total_rules[k] = total_rules.get(k, 0) + v
        failures += [(str(path.relative_to(CORPUS)),) + u for u in unexplained]
    assert not failures, "\n".join(map(repr, failures))
    assert set(total_rules) <= set(RULES)
    # The rules are exceptions: most leaves must be byte for byte the same.
    assert total_matched > 4 * sum(total_rules.values()), (total_matched, total_rules)
