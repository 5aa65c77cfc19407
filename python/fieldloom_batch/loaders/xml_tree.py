"""XML read as untrusted input.

A first pass of expat, with no handler but those of the document type,
refuses entity declarations and external DTDs before anything expands
(nothing is fetched, and an entity-expansion bomb is refused at its first
declaration) and reports malformed XML with its line and column. Then
ElementTree's C parser builds the tree. Elements do not keep their line, so
the line of an element named in a message is found by counting elements in
one more expat pass, only when a message needs it.
"""
from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from pathlib import Path
from xml.parsers import expat

from fieldloom_batch.definitions.model import DefinitionError

_BLANKS = re.compile(rb">\s+<")


class DocumentError(DefinitionError):
    """A document that is unsafe, malformed, or describes what cannot be
    loaded. `line` is where in the file (None for the file as a whole)."""

    def __init__(self, message: str, *, source: str, line: int | None = None) -> None:
        place = f"{source}, line {line}" if line is not None else source
        super().__init__(f"{place}: {message}")
        self.source = source
        self.line = line


def text(node: ET.Element) -> str:
    """An element's text without the whitespace XML puts around it (only
    XML's four whitespace characters: a unit may well be U+0085)."""
    return (node.text or "").strip(" \t\r\n")


class Document:
    """A parsed document: its root, every element's tag reduced to its local
    name once its namespace is found to be one of those allowed; and where
    its elements are."""

    def __init__(self, data: bytes, source: str, namespaces: tuple[str, ...]) -> None:
        self.data = data
        self.source = source
        _check(data, source)
        self.root = ET.fromstring(_without_blanks(data))  # noqa: S314 -- checked: no entities, no external DTD
        self._lines: dict[int, int] | None = None
        allowed = {"{" + namespace + "}" for namespace in namespaces if namespace}
        usual = self.root.tag[:self.root.tag.index("}") + 1] if self.root.tag[0] == "{" else "{}"
        usual = usual if usual in allowed else "{}"
        cut = len(usual)
        for node in self.root.iter():
            tag = node.tag
            if tag.startswith(usual):  # nearly every element: the root's namespace
                node.tag = tag[cut:]
            elif tag[0] == "{":
                end = tag.index("}") + 1
                if tag[:end] not in allowed:
                    raise DocumentError(f"<{tag[end:]}> is in the namespace {tag[1:end - 1]!r}, which is not "
                                        f"one of {', '.join(map(repr, namespaces))}", source=source,
                                        line=self.line(node))
                node.tag = tag[end:]

    def line(self, node: ET.Element) -> int | None:
        if self._lines is None:
            order = {id(node): k for k, node in enumerate(self.root.iter())}
            starts: list[int] = []
            parser = expat.ParserCreate()
            parser.StartElementHandler = lambda *_: starts.append(parser.CurrentLineNumber)
            parser.Parse(self.data, True)
            self._lines = {key: starts[k] for key, k in order.items()}
        return self._lines.get(id(node))


def _without_blanks(data: bytes) -> bytes:
    """The document without the whitespace between its tags, which means
    nothing in these documents; dropping it first halves the time ElementTree
    takes to build the tree. Only where that is exact: in an encoding whose
    bytes below 0x80 are ASCII (UTF-16 and UTF-32 put NULs or a byte order
    mark in the first four bytes), and with no CDATA section (whose text may
    hold '>', blanks and '<' as they are)."""
    if data[:2] in (b"\xfe\xff", b"\xff\xfe") or b"\0" in data[:4] or b"<![CDATA[" in data:
        return data
    return _BLANKS.sub(b"><", data)


def _check(data: bytes, source: str) -> None:
    parser = expat.ParserCreate()
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)

    def refuse(message: str) -> None:
        raise DocumentError(message, source=source, line=parser.CurrentLineNumber)

    def doctype(name: str, system_id: str | None, public_id: str | None, internal: int) -> None:
        if system_id or public_id:
            refuse(f"the document type refers to an external definition ({system_id or public_id!r}); "
                   "nothing outside the document is read")

    def entity(name: str, *_: object) -> None:
        refuse(f"the document declares the entity {name!r}; entity declarations are refused "
               "(they can expand without bound or read files)")

    def external(*_: object) -> int:
        refuse("the document refers to an external entity; nothing outside the document is read")
        return 0

    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = entity
    parser.UnparsedEntityDeclHandler = entity
    parser.ExternalEntityRefHandler = external
    try:
        parser.Parse(data, True)
    except expat.ExpatError as error:
        raise DocumentError(f"malformed XML: {error}", source=source) from None


def read(path: str | Path | bytes, namespaces: tuple[str, ...]) -> Document:
    """A document given as a path, or as its bytes, whose elements are all
    in one of `namespaces` ("" for none)."""
    if isinstance(path, bytes):
        return Document(path, "<document>", namespaces)
    return Document(Path(path).read_bytes(), str(path), namespaces)
