#!/usr/bin/env python3
"""ztmime.iter_mbox against Python's email package, and one thread against two.

Generates the two mboxes the C++ parse benchmarks use (bench/mbox_gen.h):
body-heavy (messages carrying a 200-600 KiB base64 attachment) and
header-heavy (many small messages that are mostly header fields).  For each:

- copy:    the file's bytes copied once in memory (the memcpy yardstick)
- ztmime:  iter_mbox, every part's content decoded
- email:   compat32 BytesParser over each message (split beforehand, not
           timed), every leaf's get_payload(decode=True)
- threads: two threads each reading the whole mbox with its own reader,
           against one thread doing both threads' reading; each thread
           reads the mbox as many times as makes half a second, since
           runs of a few tens of milliseconds are dominated by thread
           start-up and scheduling noise

Figures are MB/s of mbox input; single-thread runs count CPU time.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_bench.py [--mb N]
"""

import argparse
import os
import random
import sys
import tempfile
import threading
import time
from email import policy
from email.parser import BytesParser

import ztmime

B64 = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def headers(n: int, rng: random.Random) -> bytes:
    out = [b"From sender%d@example.org Mon Jan  1 00:00:00 2024\n" % n]
    for r in range(4):
        out.append(b"Received: from relay%d.example.net (relay%d.example.net [192.0.2.%d])\n"
                   b"\tby mx.example.org with ESMTPS id %d\n"
                   b"\tfor <user@example.org>; Mon, 1 Jan 2024 00:00:00 +0000\n"
                   % (r, r, rng.randrange(250), rng.getrandbits(32)))
    out.append(b"Message-ID: <%d@example.org>\nDate: Mon, 1 Jan 2024 00:00:00 +0000\n"
               b"From: Sender <sender@example.org>\nTo: User <user@example.org>\n"
               b"Subject: message number %d\nMIME-Version: 1.0\nX-Mailer: bench\nX-Spam-Score: 0.1\n"
               % (rng.getrandbits(32), n))
    return b"".join(out)


def header_mbox(size: int) -> bytes:
    rng = random.Random(2)
    out, total, n = [], 0, 0
    while total < size:
        m = headers(n, rng) + (b"Content-Type: text/plain; charset=utf-8\n\nHello,\n\n"
                               b"this is a short note.\nSee you soon.\n\n")
        out.append(m)
        total += len(m)
        n += 1
    return b"".join(out)


def body_mbox(size: int) -> bytes:
    rng = random.Random(3)
    # One pool of random base64 lines; each attachment is a random slice of it.
    pool = b"".join(bytes(rng.choices(B64, k=76)) + b"\n" for _ in range(600 * 1024 // 77 + 1))
    out, total, n = [], 0, 0
    while total < size:
        lines = (200 * 1024 + rng.randrange(400 * 1024)) // 78
        start = rng.randrange(len(pool) // 77 - lines) * 77
        m = (headers(n, rng) + b'Content-Type: multipart/mixed; boundary="=_b"\n\n--=_b\n'
             b"Content-Type: text/plain\n\nAttached.\n\n--=_b\nContent-Type: application/pdf\n"
             b"Content-Transfer-Encoding: base64\n\n" + pool[start:start + lines * 77] + b"--=_b--\n\n")
        out.append(m)
        total += len(m)
        n += 1
    return b"".join(out)


def split_mbox(data: bytes) -> list:
    starts = [0]
    at = data.find(b"\nFrom ")
    while at >= 0:
        starts.append(at + 1)
        at = data.find(b"\nFrom ", at + 1)
    starts.append(len(data))
    # Drop each "From " line as an mbox reader would.
    return [data[data.index(b"\n", a) + 1:b] for a, b in zip(starts, starts[1:])]


def run_ztmime(path) -> int:
    total = 0
    for msg in ztmime.iter_mbox(path):
        for p in msg.walk():
            total += len(p.content)
    return total


def run_email(messages) -> int:
    parser = BytesParser(policy=policy.compat32)
    total = 0
    for raw in messages:
        for p in parser.parsebytes(raw).walk():
            if not p.is_multipart():
                total += len(p.get_payload(decode=True) or b"")
    return total


def best(fn, repeat: int, clock=time.process_time) -> float:
    """The shortest of `repeat` runs.  Single-thread figures count this
    process's CPU time, so that other work on a shared machine does not
    skew the ratios; the threads run needs wall time."""
    times = []
    for _ in range(repeat):
        t = clock()
        fn()
        times.append(clock() - t)
    return min(times)


def bench(name: str, data: bytes, repeat: int, folder: str, threads: bool) -> None:
    path = os.path.join(folder, name + ".mbox")
    with open(path, "wb") as f:
        f.write(data)
    mb = len(data) / 1e6
    messages = split_mbox(data)
    print(f"{name}: {mb:.0f} MB, {len(messages)} messages", flush=True)
    t_copy = best(lambda: bytearray(data), repeat)
    print(f"  copy    {mb / t_copy:9.0f} MB/s", flush=True)
    t_zt = best(lambda: run_ztmime(path), repeat)
    print(f"  ztmime  {mb / t_zt:9.0f} MB/s   ({t_copy / t_zt * 100:.1f}% of copy)", flush=True)
    t_email = best(lambda: run_email(messages), 1)
    print(f"  email   {mb / t_email:9.1f} MB/s", flush=True)
    print(f"  ztmime / email: {t_email / t_zt:.1f}x", flush=True)
    if threads:
        wall = time.perf_counter
        rounds = max(1, round(0.5 / t_zt))

        def many():
            for _ in range(rounds):
                run_ztmime(path)

        t_one = best(lambda: (many(), many()), repeat, wall)

        def two():
            ts = [threading.Thread(target=many) for _ in range(2)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()

        t_two = best(two, repeat, wall)
        print(f"  2 threads / 1 thread: {t_one / t_two:.2f}x (wall time; needs two idle cores)", flush=True)
    os.unlink(path)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=int, default=64, help="size of each generated mbox in MB (default 64)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-threads", action="store_true", help="skip the one-against-two-threads run")
    args = ap.parse_args()
    print(f"ztmime {ztmime.__version__}, Python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory() as folder:
        bench("body-heavy", body_mbox(args.mb << 20), args.repeat, folder, not args.no_threads)
        bench("header-heavy", header_mbox(args.mb << 20), args.repeat, folder, not args.no_threads)
    return 0


if __name__ == "__main__":
    sys.exit(main())
