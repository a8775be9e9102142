"""Messages and parts as a small tree built from what the reader hands out."""

from __future__ import annotations

import codecs
import enum
import weakref
from collections.abc import Iterator, Mapping
from itertools import chain

from . import _ztmime


class Problem(enum.IntFlag):
    """What went wrong in a part; the part is still there."""

    DECODE = _ztmime.PROBLEM_DECODE
    CHARSET = _ztmime.PROBLEM_CHARSET
    TRUNCATED = _ztmime.PROBLEM_TRUNCATED
    HEADER = _ztmime.PROBLEM_HEADER


class Headers(Mapping):
    """The header fields of a part, decoded to str.

    Names are matched ignoring case; ``headers[name]`` is the first field of
    that name and ``get_all(name)`` every one.  ``fields`` keeps them all in
    the order they came.
    """

    __slots__ = ("fields", "_index")

    def __init__(self, fields: list[tuple[str, str]]):
        self.fields = fields
        self._index: dict[str, str] | None = None

    @classmethod
    def _from_packed(cls, packed: bytes) -> "Headers":
        # The raw fields as the extension packed them: decoded only now,
        # when somebody reads them.
        return cls(_ztmime.decode_fields(packed) if packed else [])

    def _map(self) -> dict[str, str]:
        if self._index is None:
            index: dict[str, str] = {}
            for name, value in self.fields:
                index.setdefault(name.lower(), value)
            self._index = index
        return self._index

    def __getitem__(self, name: str) -> str:
        return self._map()[name.lower()]

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.lower() in self._map()

    def get(self, name: str, default=None):
        return self._map().get(name.lower(), default)

    def get_all(self, name: str) -> list[str]:
        key = name.lower()
        return [v for n, v in self.fields if n.lower() == key]

    def __iter__(self) -> Iterator[str]:
        seen = set()
        for name, _ in self.fields:
            key = name.lower()
            if key not in seen:
                seen.add(key)
                yield name

    def __len__(self) -> int:
        return len(self._map())

    def __repr__(self) -> str:
        return f"Headers({self.fields!r})"


# Positions in the part tuples that the extension hands out.
_PATH, _DEPTH, _TYPE, _CHARSET, _DISP, _FILENAME, _ENC, _CONTAINER, _SIZE, _PROBLEMS, _HEADERS, _CONTENT, _PARENT = range(13)


class Part:
    """One part of a message: its facts, header fields, decoded content and children."""

    # The link to the parent is weak so that a tree holds no reference
    # cycle: a message is freed as soon as the caller drops it, not at the
    # next full garbage collection.
    __slots__ = ("_t", "_headers", "parts", "_parent", "_utf8", "__weakref__")

    def __init__(self, t: tuple, parent: "Part | None", utf8: bool):
        self._t = t
        self._headers: Headers | None = None
        self.parts: list[Part] = []
        self._parent = None if parent is None else weakref.ref(parent)
        self._utf8 = utf8

    @property
    def parent(self) -> "Part | None":
        return None if self._parent is None else self._parent()

    path = property(lambda self: self._t[_PATH], doc='Position in the tree: "" for a message, then "1", "1.2", ...')
    depth = property(lambda self: self._t[_DEPTH], doc="0 for a top-level message")
    content_type = property(lambda self: self._t[_TYPE], doc="type/subtype in lower case")
    charset = property(lambda self: self._t[_CHARSET], doc='the charset parameter in lower case, or ""')
    disposition = property(lambda self: self._t[_DISP], doc='"inline", "attachment" or ""')
    filename = property(lambda self: self._t[_FILENAME], doc='the name as the sender wrote it (never safe as a path), or ""')
    encoding = property(lambda self: self._t[_ENC], doc="the transfer encoding code, 0 when none")
    is_container = property(lambda self: self._t[_CONTAINER], doc="multipart/ and message/rfc822 parts")
    size = property(lambda self: self._t[_SIZE], doc="decoded size in bytes")
    content = property(lambda self: self._t[_CONTENT], doc="the decoded body (b'' for containers)")

    @property
    def problems(self) -> Problem:
        return Problem(self._t[_PROBLEMS])

    @property
    def headers(self) -> Headers:
        if self._headers is None:
            self._headers = Headers._from_packed(self._t[_HEADERS])
        return self._headers

    @property
    def is_text(self) -> bool:
        return self._t[_TYPE].startswith("text/")

    @property
    def is_attachment(self) -> bool:
        """A leaf the sender marked as an attachment or gave a file name."""
        t = self._t
        return not t[_CONTAINER] and (t[_DISP] == "attachment" or bool(t[_FILENAME]))

    @property
    def text(self) -> str | None:
        """The content as str for text/ parts (None otherwise).

        When the reader converted text to UTF-8 that is what is decoded;
        otherwise the part's charset is used, UTF-8 when it has none or
        Python does not know it.  Bytes that do not decode become U+FFFD.
        """
        t = self._t
        if not t[_TYPE].startswith("text/"):
            return None
        charset = "utf-8" if self._utf8 or not t[_CHARSET] else t[_CHARSET]
        try:
            codecs.lookup(charset)
        except LookupError:
            charset = "utf-8"
        return t[_CONTENT].decode(charset, "replace")

    def walk(self) -> Iterator["Part"]:
        """This part and every part below it, in tree order."""
        yield self
        for p in self.parts:
            yield from p.walk()

    def __repr__(self) -> str:
        name = f" filename={self.filename!r}" if self.filename else ""
        return f"<{type(self).__name__} path={self.path!r} {self.content_type}{name} size={self.size}>"


class Message(Part):
    """A message (top-level, or embedded in a message/rfc822 part)."""

    # For a top-level message, every part below it in tree order (without
    # the message itself, so that no reference cycle keeps the tree alive);
    # None for an embedded message, whose walk goes through its children.
    __slots__ = ("_all",)

    @classmethod
    def _from_parts(cls, tuples: list[tuple], utf8: bool = False) -> "Message":
        """Builds the tree from the part tuples of one message, in tree order."""
        if not tuples:
            tuples = [_EMPTY]
        root = cls(tuples[0], None, utf8)
        if len(tuples) == 1:
            root._all = ()
            return root
        everything: list[Part] = [root]
        for t in tuples[1:]:
            parent = everything[t[_PARENT]] if 0 <= t[_PARENT] < len(everything) else root
            if parent._t[_TYPE] == "message/rfc822":
                p = Message(t, parent, utf8)
                p._all = None
            else:
                p = Part(t, parent, utf8)
            parent.parts.append(p)
            everything.append(p)
        root._all = everything[1:]
        return root

    def walk(self) -> Iterator[Part]:
        rest = self._all
        if rest is None:
            return super().walk()
        return chain((self,), rest) if rest else iter((self,))

    @property
    def subject(self) -> str | None:
        return self.headers.get("subject")

    @property
    def attachments(self) -> list[Part]:
        return [p for p in self.walk() if p.is_attachment]


# The tuple of a message without any part (an empty input).
_EMPTY = ("", 0, "text/plain", "", "", "", 0, False, 0, 0, b"", b"", -1)
