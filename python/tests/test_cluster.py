"""The cluster example on two local workers gives the records a plain loop gives."""

import importlib.util
import json
import subprocess
import sys

import pytest

from conftest import CORPUS, SOURCE, corpus_mboxes

EXAMPLE = SOURCE / "examples" / "cluster_index.py"


@pytest.mark.skipif(not corpus_mboxes(), reason="mail corpus not present")
def test_cluster_index_equals_a_plain_loop(tmp_path):
    pytest.importorskip("dask.distributed")
    found = importlib.util.spec_from_file_location("cluster_index", EXAMPLE)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)

    out = tmp_path / "index.jsonl"
    subprocess.run([sys.executable, str(EXAMPLE), "--workers", "2", "-o", str(out), str(CORPUS)],
                   check=True, timeout=300)
    got = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    files = example.mbox_files([str(CORPUS)])
    want = json.loads(json.dumps(example.index_plain(files)))
    assert len(files) >= len(corpus_mboxes()) and len(want) > 10
    assert got == want
