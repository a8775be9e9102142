"""Messages and parts as a small tree built from what the reader hands out."""

from __future__ import annotations

import codecs
import enum
from collections.abc import Iterator, Mapping

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


class Part(_ztmime.PartBase):
    """One part of a message: its facts, header fields, decoded content and children.

    Parts are made by the reader.  The facts (``path``, ``depth``,
    ``content_type``, ``charset``, ``disposition``, ``filename``,
    ``encoding``, ``is_container``, ``size``, ``content``), ``parts``,
    ``parent`` and ``walk()`` come from the extension; the link to the
    parent is weak, so that a tree holds no reference cycle and a message
    is freed as soon as the caller drops it.
    """

    __slots__ = ()

    @property
    def problems(self) -> Problem:
        return Problem(self._problems)

    @property
    def headers(self) -> Headers:
        h = self._headers
        if h is None:
            # The raw fields are decoded only now, when somebody reads them.
            h = self._headers = Headers(_ztmime.decode_fields(self._raw) if self._raw else [])
        return h

    @property
    def is_text(self) -> bool:
        return self.content_type.startswith("text/")

    @property
    def is_attachment(self) -> bool:
        """A leaf the sender marked as an attachment or gave a file name."""
        return not self.is_container and (self.disposition == "attachment" or bool(self.filename))

    @property
    def text(self) -> str | None:
        """The content as str for text/ parts (None otherwise).

        When the reader converted text to UTF-8 that is what is decoded;
        otherwise the part's charset is used, UTF-8 when it has none or
        Python does not know it.  Bytes that do not decode become U+FFFD.
        """
        if not self.content_type.startswith("text/"):
            return None
        charset = "utf-8" if self._utf8 or not self.charset else self.charset
        try:
            codecs.lookup(charset)
        except LookupError:
            charset = "utf-8"
        return self.content.decode(charset, "replace")

    def __repr__(self) -> str:
        name = f" filename={self.filename!r}" if self.filename else ""
        return f"<{type(self).__name__} path={self.path!r} {self.content_type}{name} size={self.size}>"


class Message(Part):
    """A message (top-level, or embedded in a message/rfc822 part)."""

    __slots__ = ()

    @property
    def subject(self) -> str | None:
        return self.headers.get("subject")

    @property
    def attachments(self) -> list[Part]:
        return [p for p in self.walk() if p.is_attachment]


_ztmime._set_classes(Part, Message)
