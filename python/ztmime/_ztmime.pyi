"""Type stubs of the _ztmime extension."""

import enum
from collections.abc import Iterator

from .message import Message, Part

PROBLEM_DECODE: int
PROBLEM_CHARSET: int
PROBLEM_TRUNCATED: int
PROBLEM_HEADER: int
library_version: str

def decode_fields(packed: bytes) -> list[tuple[str, str]]: ...

class Error(Exception):
    """An error reported by the mail library."""

class Item(enum.IntEnum):
    MESSAGE = 1
    PART = 2
    DATA = 3
    PART_END = 4
    MESSAGE_END = 5

class PartInfo:
    @property
    def path(self) -> str: ...
    @property
    def depth(self) -> int: ...
    @property
    def content_type(self) -> str: ...
    @property
    def charset(self) -> str: ...
    @property
    def disposition(self) -> str: ...
    @property
    def filename(self) -> str: ...
    @property
    def encoding(self) -> int: ...
    @property
    def container(self) -> bool: ...
    @property
    def size(self) -> int: ...
    @property
    def problems(self) -> int: ...
    @property
    def headers(self) -> list[tuple[str, str]]: ...

class PartBase:
    """What ztmime.Part and ztmime.Message are built on (made by the reader only)."""
    path: str
    depth: int
    content_type: str
    charset: str
    disposition: str
    filename: str
    encoding: int
    is_container: bool
    size: int
    content: bytes
    parts: list[Part]
    parent: Part | None
    _problems: int
    _raw: bytes
    _headers: object
    _utf8: bool
    def walk(self) -> Iterator[Part]: ...

def _set_classes(part: type[Part], message: type[Message]) -> None: ...

class Reader:
    def __init__(self, mbox: bool = False, text_utf8: bool = False) -> None: ...
    @property
    def mbox(self) -> bool: ...
    @property
    def text_utf8(self) -> bool: ...
    def feed(self, data: bytes | bytearray | memoryview) -> None: ...
    def finish(self) -> None: ...
    def reset(self) -> None: ...
    def read_message(self) -> Message | None: ...
    def read_messages(self, max_messages: int = 256, max_bytes: int = 262144) -> list[Message]: ...
    def read_file(self, fd: int, chunk_size: int = 1048576, max_messages: int = 256,
                  max_bytes: int = 262144) -> list[Message]: ...
    def __iter__(self) -> Iterator[tuple[Item, PartInfo | bytes | None]]: ...
    def __next__(self) -> tuple[Item, PartInfo | bytes | None]: ...
