"""The tree, the item stream and the file readers, on small handmade
messages and on every corpus message at several chunkings."""

import base64
import gc
import threading
import weakref

import pytest

import ztmime
from conftest import CORPUS, corpus_mboxes, corpus_messages, needs_corpus, summary

ATTACHED = bytes(range(256)) * 3

MULTI = (
    b"From: A <a@example.org>\r\n"
    b"Subject: =?utf-8?q?caf=C3=A9?= report\r\n"
    b"X-Tag: one\r\nx-tag: two\r\n"
    b"MIME-Version: 1.0\r\n"
    b"Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
    b"preamble\r\n--b1\r\n"
    b"Content-Type: text/plain; charset=ISO-8859-1\r\n"
    b"Content-Transfer-Encoding: quoted-printable\r\n\r\n"
    b"caf=E9 au lait\r\n"
    b"--b1\r\n"
    b"Content-Type: application/octet-stream; name=\"ignored.bin\"\r\n"
    b"Content-Disposition: attachment; filename*=utf-8''na%C3%AFve.bin\r\n"
    b"Content-Transfer-Encoding: base64\r\n\r\n"
    + base64.encodebytes(ATTACHED).replace(b"\n", b"\r\n") +
    b"--b1\r\n"
    b"Content-Type: message/rfc822\r\n\r\n"
    b"Subject: inner\r\nContent-Type: text/plain\r\n\r\ninner body\r\n"
    b"--b1--\r\nepilogue\r\n"
)


def test_tree_of_a_multipart_message():
    msg = ztmime.parse(MULTI)
    assert isinstance(msg, ztmime.Message)
    assert msg.content_type == "multipart/mixed" and msg.is_container
    assert msg.subject == "café report"
    assert msg.headers["SUBJECT"] == msg.headers["subject"] == "café report"
    assert msg.headers.get_all("X-TAG") == ["one", "two"] and msg.headers["x-Tag"] == "one"
    assert "content-type" in msg.headers and "Nope" not in msg.headers
    text, att, inner = msg.parts
    assert [p.path for p in msg.walk()][0] == ""
    assert list(msg.walk()) == [msg, text, att, inner, inner.parts[0]]
    assert text.charset == "iso-8859-1" and text.content == b"caf\xe9 au lait"
    assert text.text == "café au lait" and att.text is None
    assert att.filename == "naïve.bin" and att.disposition == "attachment"
    assert att.content == ATTACHED and att.size == len(ATTACHED)
    assert msg.attachments == [att]
    embedded = inner.parts[0]
    assert isinstance(embedded, ztmime.Message) and embedded.subject == "inner"
    assert embedded.content == b"inner body" and embedded.parent is inner
    assert not any(p.problems for p in msg.walk())


def test_trees_are_freed_at_once_and_any_part_walks():
    gc.disable()
    try:
        msg = ztmime.parse(MULTI)
        text, att, inner = msg.parts
        embedded = inner.parts[0]
        assert list(inner.walk()) == [inner, embedded] and list(embedded.walk()) == [embedded]
        assert list(text.walk()) == [text] and text.parts == [] and msg.parent is None
        ref = weakref.ref(msg)
        del msg
        assert ref() is None  # no reference cycle: freed without the collector
        assert text.parent is None and inner.parts == [embedded]
        # A cycle made by the caller is still found by the collector.
        msg = ztmime.parse(MULTI)
        msg.parts.append(msg)
        ref = weakref.ref(msg)
        del msg
        gc.collect()
        assert ref() is None
    finally:
        gc.enable()


def test_text_converted_to_utf8_by_the_reader():
    msg = ztmime.parse(MULTI, text_utf8=True)
    assert msg.parts[0].content == "café au lait".encode()
    assert msg.parts[0].text == "café au lait"


@pytest.mark.parametrize("source, problem", [
    (b"Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\nQUJD\r\n!!!!\r\nREVG\r\n",
     ztmime.Problem.DECODE),
    (b"Content-Type: multipart/mixed; boundary=x\r\n\r\n--x\r\n\r\nunfinished", ztmime.Problem.TRUNCATED),
])
def test_problems_are_flagged_and_reading_goes_on(source, problem):
    msg = ztmime.parse(source)
    assert any(problem in p.problems for p in msg.walk())
    if problem == ztmime.Problem.DECODE:
        assert msg.content == b"ABCDEF"


def test_items_nest_and_carry_the_data():
    r = ztmime.Reader()
    r.feed(MULTI)
    r.finish()
    items = list(r)
    kinds = [k for k, _ in items]
    assert kinds[0] == ztmime.Item.MESSAGE and kinds[-1] == ztmime.Item.MESSAGE_END
    assert kinds[1] == ztmime.Item.PART and kinds[-2] == ztmime.Item.PART_END
    depth, data, parts = 0, {}, []
    for kind, value in items:
        if kind == ztmime.Item.PART:
            depth += 1
            parts.append(value)
            data[value.path] = b""
        elif kind == ztmime.Item.PART_END:
            depth -= 1
            assert value.size == len(data[value.path])
        elif kind == ztmime.Item.DATA:
            data[parts[-1].path] += value
    assert depth == 0
    assert parts[0].headers[0] == ("From", "A <a@example.org>")
    tree = ztmime.parse(MULTI)
    assert [p.content_type for p in parts] == [p.content_type for p in tree.walk()]
    assert list(data.values()) == [p.content for p in tree.walk()]


def test_reader_wants_more_input_until_finish():
    r = ztmime.Reader()
    r.feed(MULTI[:100])
    assert list(r.messages()) == []
    r.feed(MULTI[100:])
    r.finish()
    (msg,) = r.messages()
    assert summary(msg) == summary(ztmime.parse(MULTI))
    r.reset()
    r.feed(b"Subject: again\r\n\r\nx")
    r.finish()
    assert [m.subject for m in r.messages()] == ["again"]


def test_errors():
    with pytest.raises(FileNotFoundError):
        ztmime.parse("/nonexistent/message.eml")
    with pytest.raises(TypeError):
        ztmime.Reader().feed("text is not bytes")
    with pytest.raises(ValueError):
        ztmime.Reader().feed(memoryview(b"Subject: x\n\n")[::2])
    r = ztmime.Reader()
    r.feed(bytearray(b"Subject: a"))
    r.feed(memoryview(b"xx\n\nbody")[2:])
    r.finish()
    assert next(r.messages()).content == b"body"
    with pytest.raises(ztmime.Error, match="after finish"):
        r.feed(b"more")
    with pytest.raises(OSError):
        ztmime.Reader().read_file(-1)


def test_one_reader_is_never_driven_by_two_threads_at_once():
    r = ztmime.Reader(mbox=True)
    big = b"From x\nSubject: s\n\n" + b"line of text\n" * 2_000_000
    failures = []

    def feed():
        try:
            r.feed(big)
        except RuntimeError as e:
            failures.append(str(e))

    threads = [threading.Thread(target=feed) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all("in use by another thread" in f for f in failures)


def test_iter_maildir(tmp_path):
    for sub in ("cur", "new", "tmp"):
        (tmp_path / sub).mkdir()
    (tmp_path / "cur" / "2.host:2,S").write_bytes(b"Subject: two\n\nb\n")
    (tmp_path / "new" / "1.host").write_bytes(b"Subject: one\n\na\n")
    (tmp_path / "tmp" / "3.host").write_bytes(b"Subject: unfinished\n\n")
    assert [m.subject for m in ztmime.iter_maildir(tmp_path)] == ["two", "one"]


MBOX = (b"From a@example.org Mon Jan  1 00:00:00 2024\nSubject: first\n\n>From the start\nbody\n\n"
        b"From b@example.org Mon Jan  1 00:00:00 2024\nSubject: second\n\nlast line")


@pytest.mark.parametrize("chunk", [1, 5, 64, 1 << 20])
def test_iter_mbox_at_any_chunk_size(tmp_path, chunk):
    path = tmp_path / "box.mbox"
    path.write_bytes(MBOX)
    msgs = list(ztmime.iter_mbox(path, chunk_size=chunk))
    assert [m.subject for m in msgs] == ["first", "second"]
    r = ztmime.Reader(mbox=True)
    with open(path, "rb") as f:
        batches = iter(lambda: r.read_file(f.fileno(), chunk, 1, 1), [])
        assert [len(b) for b in batches] == [1, 1]
        assert r.read_file(f.fileno()) == []
    assert msgs[0].content.startswith(b"From the start\nbody")
    assert msgs[1].content == b"last line"


def _outline_from_items(data: bytes, mbox: bool) -> list:
    """Each message's (path, content) pairs, gathered from the item stream."""
    r = ztmime.Reader(mbox=mbox)
    r.feed(data)
    r.finish()
    out = []
    for kind, value in r:
        if kind == ztmime.Item.MESSAGE:
            out.append([])
        elif kind == ztmime.Item.PART:
            out[-1].append([value.path, b""])
        elif kind == ztmime.Item.DATA:
            out[-1][-1][1] += value  # only leaves get data, and a leaf is the last part announced
    return [[tuple(p) for p in m] for m in out]


BIG = b"".join(b"From big@example.org Mon Jan  1 00:00:00 2024\n" + MULTI.replace(b"\r\n", b"\n").replace(
    base64.encodebytes(ATTACHED), base64.encodebytes(ATTACHED * k)) + b"\n" for k in (1, 400, 1500, 3)) + MBOX


@pytest.mark.parametrize("chunk", [97, 4096, 1 << 20])
@pytest.mark.parametrize("max_messages, max_bytes", [(1, 1), (3, 1000), (256, 1 << 18)])
def test_whole_messages_at_any_limits_and_chunking(chunk, max_messages, max_bytes):
    # Messages cut by the end of a piece stay in the reader's pools across
    # calls, parts of 300 KiB and 1.1 MiB among them.
    r = ztmime.Reader(mbox=True)
    got = []

    def drain():
        while batch := r.read_messages(max_messages, max_bytes):
            assert len(batch) <= max_messages
            got.extend(batch)

    for i in range(0, len(BIG), chunk):
        r.feed(BIG[i:i + chunk])
        drain()
    r.finish()
    drain()
    assert [[(p.path, p.content) for p in m.walk()] for m in got] == _outline_from_items(BIG, True)
    assert [m.subject for m in got] == ["café report"] * 4 + ["first", "second"]
    assert got[2].parts[1].content == ATTACHED * 1500


def _chunked(data: bytes, n: int):
    return (data[i:i + n] for i in range(0, len(data), n))


@needs_corpus
@pytest.mark.parametrize("path", corpus_messages(), ids=lambda p: str(p.relative_to(CORPUS)))
def test_corpus_message_is_the_same_at_every_chunking(path):
    data = path.read_bytes()
    whole = summary(ztmime.parse(path))
    sizes = [7, 61, 4096] + ([1] if len(data) < 16384 else [])
    for n in sizes:
        assert summary(ztmime.parse_chunks(_chunked(data, n))) == whole, f"chunks of {n}"
    for p in ztmime.parse(data).walk():
        assert p.size == len(p.content)
        assert p.is_container == p.content_type.startswith(("multipart/", "message/rfc822")) or p.problems
    # Header fields kept raw and decoded when read are those the reader
    # decodes for its item stream.
    items = ztmime.Reader()
    items.feed(data)
    items.finish()
    eager = [value.headers for kind, value in items if kind == ztmime.Item.PART]
    assert [p.headers.fields for p in ztmime.parse(data).walk()] == eager


@needs_corpus
@pytest.mark.parametrize("path", corpus_mboxes(), ids=lambda p: p.name)
def test_corpus_mbox_at_two_chunkings(path):
    a = [summary(m) for m in ztmime.iter_mbox(path)]
    b = [summary(m) for m in ztmime.iter_mbox(path, chunk_size=997)]
    assert a == b and len(a) > 1
