"""Reading a large mbox keeps memory flat: it is bounded by a message, not
by the file."""

import base64
import os
import random

import ztmime
from conftest import SANITIZED

MB = 1 << 20


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def write_mbox(path, total: int) -> int:
    """Messages with a base64 attachment of 64 to 512 KiB each, to `total` bytes."""
    rng = random.Random(3)
    blob = base64.encodebytes(rng.randbytes(512 * 1024))
    n = 0
    with open(path, "wb") as f:
        written = 0
        while written < total:
            cut = rng.randrange(64, 512) * 1024 * 4 // 3 // 77 * 77
            msg = (b"From sender%d@example.org Mon Jan  1 00:00:00 2024\n" % n +
                   b"Subject: message %d\nContent-Type: multipart/mixed; boundary=\"=_b\"\n\n" % n +
                   b"--=_b\nContent-Type: text/plain\n\nAttached.\n\n--=_b\n"
                   b"Content-Type: application/pdf\nContent-Transfer-Encoding: base64\n\n" +
                   blob[:cut] + b"--=_b--\n\n")
            f.write(msg)
            written += len(msg)
            n += 1
    return n


def test_memory_stays_flat_over_a_large_mbox(tmp_path):
    path = tmp_path / "large.mbox"
    count = write_mbox(path, (40 if SANITIZED else 200) * MB)
    seen, base, peak, decoded = 0, 0, 0, 0
    for msg in ztmime.iter_mbox(path):
        decoded += sum(len(p.content) for p in msg.walk())
        seen += 1
        if seen == 20:
            base = rss()
        elif seen > 20:
            peak = max(peak, rss())
    assert seen == count
    assert decoded > os.path.getsize(path) // 2
    # A message is at most ~1.2 MiB with its copies; the file is 200 MiB.
    assert peak - base < 24 * MB, (base // MB, peak // MB)
