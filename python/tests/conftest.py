"""Shared helpers: where the corpus is, and which of its files are messages."""

import os
from pathlib import Path

import pytest

CORPUS = Path(os.environ.get("ZT_CORPUS_DIR", Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus"))
SOURCE = Path(os.environ.get("ZT_SOURCE_DIR", Path(__file__).resolve().parents[2]))
# Debug builds under the sanitizers run several times slower: smaller inputs.
SANITIZED = bool(os.environ.get("ZT_SANITIZED"))


def corpus_messages() -> list[Path]:
    if not CORPUS.is_dir():
        return []
    found = list(CORPUS.rglob("*.msg")) + list(CORPUS.rglob("*.eml"))
    found += [p for p in (CORPUS / "mimekit" / "messages").glob("*.txt")]
    return sorted(found)


def corpus_mboxes() -> list[Path]:
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.rglob("*.mbox") if "output" not in p.parts)


needs_corpus = pytest.mark.skipif(not corpus_messages(), reason="mail corpus not present")


def summary(msg) -> list[tuple]:
    """Everything a message tree says, in a form that compares."""
    return [(p.path, p.content_type, p.charset, p.disposition, p.filename, p.encoding, p.is_container,
             p.size, int(p.problems), p.headers.fields, p.content, len(p.parts)) for p in msg.walk()]
