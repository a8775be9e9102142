"""Streaming mail parsing on libztmime.

    import ztmime
    for msg in ztmime.iter_mbox("archive.mbox"):
        for part in msg.attachments:
            print(msg.subject, part.filename, len(part.content))
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import Union

from . import _ztmime
from ._ztmime import Error, Item, PartInfo
from .message import Headers, Message, Part, Problem

__all__ = [
    "CHUNK_SIZE", "Error", "Headers", "Item", "Message", "Part", "PartInfo", "Problem", "Reader",
    "iter_maildir", "iter_mbox", "parse", "parse_chunks",
]

__version__ = _ztmime.library_version

# Files are read in pieces of this size: memory is bounded by the largest
# message, never by the file.
CHUNK_SIZE = 1 << 20


class Reader(_ztmime.Reader):
    """A streaming reader: ``feed()`` bytes, ``finish()``, and iterate.

    Iterating yields ``(Item, value)`` pairs: ``(Item.MESSAGE, None)``,
    ``(Item.PART, PartInfo)``, ``(Item.DATA, bytes)``,
    ``(Item.PART_END, PartInfo)``, ``(Item.MESSAGE_END, None)``; it stops
    when the reader needs more input (or, after ``finish()``, is done).
    ``messages()`` yields whole ``Message`` objects instead.  Use one of
    the two ways on a given reader, and one reader per thread.
    """

    def messages(self) -> Iterator[Message]:
        """The messages complete in what was fed so far."""
        while batch := self.read_messages():
            yield from batch


Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]"]


def _read_pieces(path, chunk_size: int) -> Iterator[memoryview]:
    """The file in pieces, read into one buffer that is used again for each
    (the reader copies what it is fed)."""
    buf = bytearray(chunk_size)
    view = memoryview(buf)
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buf):
            yield view[:n]


def parse_chunks(chunks: Iterable[bytes], *, text_utf8: bool = False) -> Message:
    """Parses one message handed over in pieces of any size."""
    r = Reader(text_utf8=text_utf8)
    for chunk in chunks:
        r.feed(chunk)
    r.finish()
    msg = r.read_message()
    if msg is None:  # cannot happen after finish(): even no input is one message
        raise Error("no message in the input")
    return msg


def parse(source: Source, *, text_utf8: bool = False) -> Message:
    """Parses one message from bytes or from the file at a path."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return parse_chunks((source,), text_utf8=text_utf8)
    return parse_chunks(_read_pieces(os.fspath(source), CHUNK_SIZE), text_utf8=text_utf8)


def iter_mbox(path: "str | os.PathLike[str]", *, text_utf8: bool = False,
              chunk_size: int = CHUNK_SIZE) -> Iterator[Message]:
    """Each message of an mbox file, read in pieces."""
    r = Reader(mbox=True, text_utf8=text_utf8)
    with open(os.fspath(path), "rb", buffering=0) as f:
        fd = f.fileno()
        while batch := r.read_file(fd, chunk_size):
            yield from batch


def iter_maildir(path: "str | os.PathLike[str]", *, text_utf8: bool = False) -> Iterator[Message]:
    """Each message of a maildir (its cur/ and new/ folders, in name order).

    A folder without cur/ and new/ is read as a folder of message files.
    """
    root = os.fspath(path)
    subdirs = [os.path.join(root, d) for d in ("cur", "new") if os.path.isdir(os.path.join(root, d))]
    for folder in subdirs or [root]:
        for name in sorted(os.listdir(folder)):
            full = os.path.join(folder, name)
            if name.startswith(".") or not os.path.isfile(full):
                continue
            yield parse(full, text_utf8=text_utf8)
