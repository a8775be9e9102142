#!/usr/bin/env python3
"""Index a folder of mboxes into JSON Lines on a Dask cluster.

One record per message: the file and the message's position in it, its
header fields, and per part the path, type, charset, disposition, file name,
decoded size, SHA-256 of the decoded content and problems.  Every mbox is
one task; records come out in file order, messages in mbox order.

    cluster_index.py [-o OUT.jsonl] [--workers N] MBOX_OR_FOLDER...
    cluster_index.py --scheduler tcp://host:8786 -o index.jsonl /shared/mail

Without --scheduler it starts a LocalCluster of N worker processes.  With
one, the workers of that cluster must have ztmime installed and see the
same paths.
"""

import argparse
import hashlib
import json
import os
import sys


def mbox_files(paths):
    """The mbox files named, and those found below the folders named (*.mbox), sorted."""
    found = []
    for p in paths:
        if os.path.isdir(p):
            for folder, _, names in os.walk(p):
                found += [os.path.join(folder, n) for n in names if n.endswith(".mbox")]
        else:
            found.append(p)
    return sorted(found)


def index_mbox(path):
    """The records of every message of one mbox."""
    import ztmime  # imported on the worker

    records = []
    for n, msg in enumerate(ztmime.iter_mbox(path)):
        parts = [{
            "path": p.path,
            "content_type": p.content_type,
            "charset": p.charset,
            "disposition": p.disposition,
            "filename": p.filename,
            "size": p.size,
            "sha256": hashlib.sha256(p.content).hexdigest(),
            "problems": int(p.problems),
        } for p in msg.walk()]
        records.append({
            "file": path,
            "message": n,
            "headers": msg.headers.fields,
            "subject": msg.subject,
            "size": sum(p["size"] for p in parts),
            "parts": parts,
        })
    return records


def index_plain(files):
    """The same records without a cluster: one loop in this process."""
    return [rec for f in files for rec in index_mbox(f)]


def index_on_cluster(files, client):
    import dask.bag as db

    bag = db.from_sequence(files, npartitions=max(1, len(files))).map(index_mbox).flatten()
    # One future per partition, written in order as each is gathered, so the
    # client holds one file's records at a time.
    futures = client.compute(bag.to_delayed())
    for fut in futures:
        yield from fut.result()
        fut.release()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("paths", nargs="+", help="mbox files or folders holding *.mbox files")
    ap.add_argument("-o", "--output", default="-", help="JSON Lines output (default: stdout)")
    ap.add_argument("--scheduler", help="address of a running Dask scheduler")
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    args = ap.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    files = mbox_files(args.paths)
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    out = sys.stdout if args.output == "-" else open(args.output, "w", encoding="utf-8")
    try:
        count = 0
        for rec in index_on_cluster(files, client):
            out.write(json.dumps(rec, ensure_ascii=False) + "\n")
            count += 1
        print(f"{count} messages from {len(files)} files", file=sys.stderr)
    finally:
        if out is not sys.stdout:
            out.close()
        client.close()
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
