import os
from collections.abc import Iterable, Iterator
from typing import Union

from ._ztmime import Error as Error, Item as Item, PartInfo as PartInfo
from ._ztmime import Reader as _Reader
from .message import Headers as Headers, Message as Message, Part as Part, Problem as Problem

__version__: str
CHUNK_SIZE: int

Source = Union[bytes, bytearray, memoryview, str, os.PathLike[str]]

class Reader(_Reader):
    def messages(self) -> Iterator[Message]: ...

def parse_chunks(chunks: Iterable[bytes], *, text_utf8: bool = ...) -> Message: ...
def parse(source: Source, *, text_utf8: bool = ...) -> Message: ...
def iter_mbox(path: str | os.PathLike[str], *, text_utf8: bool = ..., chunk_size: int = ...) -> Iterator[Message]: ...
def iter_maildir(path: str | os.PathLike[str], *, text_utf8: bool = ...) -> Iterator[Message]: ...
