"""XML read as untrusted input, into a small tree that keeps line numbers.

ElementTree forgets where an element was; the loaders name the line of
every element they refuse, so this builds its own nodes with expat. A
document may not declare entities or point at an external DTD: nothing is
fetched, and an entity-expansion bomb is refused at its first declaration,
before anything expands.
"""
from __future__ import annotations

from pathlib import Path
from xml.parsers import expat

from fieldloom_batch.definitions.model import DefinitionError


class DocumentError(DefinitionError):
    """A document that is unsafe, malformed, or describes what cannot be
    loaded. `line` is where in the file (None for the file as a whole)."""

    def __init__(self, message: str, *, source: str, line: int | None = None) -> None:
        place = f"{source}, line {line}" if line is not None else source
        super().__init__(f"{place}: {message}")
        self.source = source
        self.line = line


class Node:
    """An element: its local name, namespace, attributes, children, text
    and the line it starts on."""

    __slots__ = ("tag", "namespace", "attrib", "children", "text", "line")

    def __init__(self, tag: str, namespace: str, attrib: dict[str, str], line: int) -> None:
        self.tag = tag
        self.namespace = namespace
        self.attrib = attrib
        self.children: list[Node] = []
        self.text = ""
        self.line = line

    def get(self, name: str, default: str | None = None) -> str | None:
        return self.attrib.get(name, default)

    def __repr__(self) -> str:
        return f"<{self.tag} line {self.line}>"


def _split(name: str) -> tuple[str, str]:
    namespace, _, local = name.rpartition(" ")
    return namespace, local


def parse(data: bytes, source: str) -> Node:
    """The document's root element. Refuses entity declarations, external
    DTDs and malformed XML (with the parser's line and column)."""
    parser = expat.ParserCreate(namespace_separator=" ")
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    stack: list[Node] = []
    roots: list[Node] = []

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

    def start(name: str, attributes: dict[str, str]) -> None:
        namespace, local = _split(name)
        node = Node(local, namespace, {_split(key)[1]: value for key, value in attributes.items()},
                    parser.CurrentLineNumber)
        (stack[-1].children if stack else roots).append(node)
        stack.append(node)

    def end(name: str) -> None:
        stack.pop()

    def characters(text: str) -> None:
        if stack:
            stack[-1].text += text

    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = entity
    parser.UnparsedEntityDeclHandler = entity
    parser.ExternalEntityRefHandler = external
    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = characters
    parser.buffer_text = True
    try:
        parser.Parse(data, True)
    except expat.ExpatError as error:
        raise DocumentError(f"malformed XML: {error}", source=source) from None
    return roots[0]


def read(path: str | Path | bytes) -> tuple[Node, str]:
    """The root of a document given as a path, or as its bytes; and the name
    messages give it."""
    if isinstance(path, bytes):
        return parse(path, "<document>"), "<document>"
    source = str(path)
    return parse(Path(path).read_bytes(), source), source
