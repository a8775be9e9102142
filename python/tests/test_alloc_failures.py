"""Every allocation the library makes fails in turn: each run ends in the
messages or in MemoryError (or ztmime.Error) carrying the library's message, leaves no view
alive, and the next reader works.  Needs the test build of the extension
(the allocation switch); skips elsewhere."""

import pytest

import ztmime
from test_parse import MBOX, MULTI

switch = getattr(ztmime._ztmime, "_alloc_fail_at", None)
pytestmark = pytest.mark.skipif(switch is None, reason="extension built without the allocation switch")


def run(data: bytes, mbox: bool, chunk: int, path=None):
    """The messages fed by hand, or read from the file at path by the reader."""
    r = ztmime.Reader(mbox=mbox)
    if path is None:
        for i in range(0, len(data), chunk):
            r.feed(data[i:i + chunk])
        r.finish()
        msgs = list(r.messages())
    else:
        with open(path, "rb") as f:
            msgs = [m for b in iter(lambda: r.read_file(f.fileno(), chunk), []) for m in b]
    return [[(p.path, p.content_type, p.content, p.headers.fields) for p in m.walk()] for m in msgs]


@pytest.mark.parametrize("data, mbox", [(MULTI, False), (MBOX, True)], ids=["multipart", "mbox"])
@pytest.mark.parametrize("chunk", [7, 1 << 16])
@pytest.mark.parametrize("from_file", [False, True], ids=["fed", "file"])
def test_every_allocation_failure(data, mbox, chunk, from_file, tmp_path):
    path = None
    if from_file:
        path = tmp_path / "input"
        path.write_bytes(data)
    live = ztmime._ztmime._live_views()
    switch(0)
    want = run(data, mbox, chunk, path)
    count = switch(0)
    assert count > 0
    failures = 0
    for n in range(1, count + 1):
        switch(n)
        try:
            got = run(data, mbox, chunk, path)
        except (MemoryError, ztmime.Error) as e:
            assert str(e), "the library's message is missing"
            failures += 1
        else:
            assert got == want, f"allocation {n}"
        finally:
            switch(0)
        assert ztmime._ztmime._live_views() == live, f"allocation {n} left views alive"
    assert failures > 0
    assert run(data, mbox, chunk, path) == want
