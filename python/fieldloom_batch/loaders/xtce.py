"""XTCE documents (1.2, also 1.1 and documents without a namespace) read into
packet types: every SequenceContainer a packet type, every parameter an
entry, restriction criteria its conditions.

An element that would change how a packet decodes and that is not read here
is refused, naming the element, the parameter, type or container it belongs
to and its line; documentation, alarms and display hints are skipped (see
xtce_types.HARMLESS and docs/xtce.md).
"""
from __future__ import annotations

import collections
import dataclasses
from pathlib import Path
from typing import Any, Literal
from xml.etree.ElementTree import Element as Node

from fieldloom_batch.definitions.definitions import Definitions
from fieldloom_batch.definitions.model import (AllOf, AnyOf, Comparison, Condition, DefinitionError, Entry,
                                               FLOAT_ENCODINGS, QUAD_ENCODING, PacketType)
from fieldloom_batch.loaders import xml_tree
from fieldloom_batch.loaders.xml_tree import Document, DocumentError, text
from fieldloom_batch.loaders.xtce_types import Plan, TypeReader

NAMESPACES = ("http://www.omg.org/spec/XTCE/20180204", "http://www.omg.org/space/xtce", "")
PARAMETER_TYPES = frozenset({"IntegerParameterType", "FloatParameterType", "EnumeratedParameterType",
                             "BooleanParameterType", "StringParameterType", "BinaryParameterType",
                             "AbsoluteTimeParameterType", "ArrayParameterType"})
# Parts of a space system that describe no telemetry packet: skipped.
OUTSIDE_TELEMETRY = frozenset({"Header", "CommandMetaData", "ServiceSet"})
OPERATORS = {"==": "==", "!=": "!=", "<": "<", "<=": "<=", ">": ">", ">=": ">=",
             "&lt;": "<", "&lt;=": "<=", "&gt;": ">", "&gt;=": ">="}

ENTRY_PARTS = frozenset({"LocationInContainerInBits", "RepeatEntry", "IncludeCondition", "DimensionList"})

Key = tuple[tuple[str, ...], str]


def _display(keys: list[Key]) -> dict[Key, str]:
    """Short names, except where two space systems use the same one: those
    are written as absolute paths."""
    counts = collections.Counter(name for _, name in keys)
    return {key: key[1] if counts[key[1]] == 1 else "/" + "/".join(key[0] + (key[1],)) for key in keys}


class XTCEReader(TypeReader):
    def __init__(self, document: Document) -> None:
        self.document = document
        self.source = source = document.source
        root = document.root
        self.type_nodes: dict[Key, Node] = {}
        self.parameter_nodes: dict[Key, Node] = {}
        self.container_nodes: dict[Key, Node] = {}
        self.plans: dict[Key, Plan] = {}
        self.read_parameters: dict[Key, tuple[str, Plan, Entry]] = {}
        self.pending: set[Key] = set()
        if root.tag != "SpaceSystem":
            raise DocumentError(f"the root element is <{root.tag}>, not <SpaceSystem>", source=source, line=1)
        self.walk(root, ())
        self.parameter_names = _display(list(self.parameter_nodes))
        self.container_names = _display(list(self.container_nodes))

    # -- the space systems ----------------------------------------------------------------------------------------

    def walk(self, system: Node, parent: tuple[str, ...]) -> None:
        path = parent + (system.get("name") or "",)
        owner = f"space system {path[-1]!r}"
        tables = {"ParameterTypeSet": self.type_nodes, "ParameterSet": self.parameter_nodes,
                  "ContainerSet": self.container_nodes}
        for child in self.children(system, owner, {"TelemetryMetaData", "SpaceSystem"} | OUTSIDE_TELEMETRY):
            if child.tag == "SpaceSystem":
                self.walk(child, path)
            elif child.tag == "TelemetryMetaData":
                for group in self.children(child, owner, set(tables)):
                    allowed = {"ParameterTypeSet": PARAMETER_TYPES, "ParameterSet": {"Parameter"},
                               "ContainerSet": {"SequenceContainer"}}[group.tag]
                    for item in self.children(group, owner, allowed):
                        name = item.get("name")
                        if not name:
                            raise self.refuse(item, owner, "needs a name")
                        table = tables[group.tag]
                        if (path, name) in table:
                            raise self.refuse(item, owner, f"defines {name!r} a second time")
                        table[(path, name)] = item

    def resolve(self, table: dict[Key, Node], ref: str, path: tuple[str, ...], node: Node, owner: str,
                what: str) -> Key:
        """A name reference: absolute (/A/B/x), relative (B/x, ../x) or bare,
        a bare or relative name looked up from the referring space system
        outwards."""
        if "/" not in ref and (path, ref) in table:
            return path, ref
        *steps, name = ref.split("/")
        if ref.startswith("/"):
            bases: list[tuple[str, ...]] = [()]
            steps = steps[1:]
        else:
            bases = [path[:depth] for depth in range(len(path), 0, -1)]
        for base in bases:
            where: list[str] = list(base)
            for step in steps:
                if step == "..":
                    where = where[:-1]
                elif step not in ("", "."):
                    where.append(step)
            if (tuple(where), name) in table:
                return tuple(where), name
        raise self.refuse(node, owner, f"refers to the {what} {ref!r}, which the document does not define")

    # -- parameters -----------------------------------------------------------------------------------------------

    def parameter(self, ref: str, path: tuple[str, ...], node: Node, owner: str) -> tuple[str, Plan]:
        """The entry name and plan of a referenced parameter."""
        return self.parameter_at(self.resolve(self.parameter_nodes, ref, path, node, owner, "parameter"))[:2]

    def parameter_at(self, key: Key) -> tuple[str, Plan, Entry]:
        """A parameter's entry name, plan and entry where a container places
        it without a location, count or condition of its own."""
        if key in self.read_parameters:
            return self.read_parameters[key]
        parameter, owner = self.parameter_nodes[key], f"parameter {key[1]!r}"
        if len(parameter):
            self.children(parameter, owner, set())
        type_key = self.resolve(self.type_nodes, parameter.get("parameterTypeRef") or "", key[0], parameter, owner,
                                "parameter type")
        plan = self.type_plan(type_key)
        if parameter.get("shortDescription"):
            plan = dataclasses.replace(plan, fields={**plan.fields, "description": parameter.get("shortDescription")})
        name = self.parameter_names[key]
        try:
            entry = Entry(name, **plan.fields, count=plan.count)
        except DefinitionError as error:
            raise self.refuse(parameter, owner, f"cannot be an entry: {error}") from None
        self.read_parameters[key] = name, plan, entry
        return name, plan, entry

    def type_plan(self, key: Key) -> Plan:
        if key in self.plans:
            return self.plans[key]
        node = self.type_nodes[key]
        owner = f"parameter type {key[1]!r}"
        if key in self.pending:
            raise self.refuse(node, owner, "depends on itself (through a size, count or context)")
        self.pending.add(key)
        plan = self.array(node, key[0], owner) if node.tag == "ArrayParameterType" else self.plan(node, key[0], owner)
        self.pending.discard(key)
        self.plans[key] = plan
        return plan

    def array(self, node: Node, path: tuple[str, ...], owner: str) -> Plan:
        element_key = self.resolve(self.type_nodes, node.get("arrayTypeRef") or "", path, node, owner,
                                   "parameter type")
        element = self.type_plan(element_key)
        if element.kind in ("string", "binary", "array", "time"):
            raise self.refuse(node, owner, f"is an array of {element.kind} values; arrays of numbers are supported")
        lists = [child for child in self.children(node, owner, {"DimensionList"})]
        count = self.dimensions(lists[0], path, owner) if lists else None
        return Plan("array", dict(element.fields), count=count)

    def dimensions(self, node: Node, path: tuple[str, ...], owner: str) -> Any:
        dimensions = self.children(node, owner, {"Dimension"})
        if len(dimensions) != 1:
            raise self.refuse(node, owner, f"has {len(dimensions)} dimensions; arrays of one dimension are supported")
        parts = {child.tag: child for child in self.children(dimensions[0], owner, {"StartingIndex", "EndingIndex"})}
        if len(parts) != 2:
            raise self.refuse(dimensions[0], owner, "needs a StartingIndex and an EndingIndex")
        start = self.integer_value(parts["StartingIndex"], path, owner)
        end = self.integer_value(parts["EndingIndex"], path, owner)
        if not isinstance(start, int):
            raise self.refuse(parts["StartingIndex"], owner, "needs a FixedValue")
        if isinstance(end, int):
            if end < start:
                raise self.refuse(parts["EndingIndex"], owner, f"ends at {end}, before its start {start}")
            return end - start + 1
        return dataclasses.replace(end, intercept=end.intercept - start + 1)

    # -- conditions -----------------------------------------------------------------------------------------------

    def conditions(self, node: Node, path: tuple[str, ...], owner: str) -> tuple[Condition, ...]:
        """A MatchCriteriaType element (RestrictionCriteria, IncludeCondition,
        ContextMatch): conditions that must all hold."""
        child = self.one(node, owner, {"Comparison", "ComparisonList", "BooleanExpression"})
        if child.tag == "BooleanExpression":
            return (self.expression(self.one(child, owner, {"Condition", "ANDedConditions", "ORedConditions"}),
                                    path, owner),)
        items = [child] if child.tag == "Comparison" else self.children(child, owner, {"Comparison"})
        return tuple(self.comparison(item, item, item.get("comparisonOperator", "=="), item.get("value"), path, owner)
                     for item in items)

    def condition(self, node: Node, path: tuple[str, ...], owner: str) -> Condition:
        found = self.conditions(node, path, owner)
        return found[0] if len(found) == 1 else AllOf(found)

    def expression(self, node: Node, path: tuple[str, ...], owner: str) -> Condition:
        if node.tag == "Condition":
            parts: dict[str, list[Node]] = collections.defaultdict(list)
            for child in self.children(node, owner, {"ParameterInstanceRef", "ComparisonOperator", "Value"}):
                parts[child.tag].append(child)
            if len(parts["ParameterInstanceRef"]) > 1:
                raise self.refuse(node, owner, "compares two parameters, which is not supported")
            if not parts["ParameterInstanceRef"] or not parts["ComparisonOperator"] or not parts["Value"]:
                raise self.refuse(node, owner, "needs a ParameterInstanceRef, a ComparisonOperator and a Value")
            reference = parts["ParameterInstanceRef"][0]
            return self.comparison(node, reference, text(parts["ComparisonOperator"][0]),
                                   text(parts["Value"][0]), path, owner)
        items = tuple(self.expression(child, path, owner)
                      for child in self.children(node, owner, {"Condition", "ANDedConditions", "ORedConditions"}))
        return AllOf(items) if node.tag == "ANDedConditions" else AnyOf(items)

    def comparison(self, node: Node, reference: Node, op: str | None, text: str | None, path: tuple[str, ...],
                   owner: str) -> Comparison:
        if op not in OPERATORS:
            raise self.refuse(node, owner, f"has the operator {op!r}, which is not one of ==, !=, <, <=, >, >=")
        if text is None:
            raise self.refuse(node, owner, "needs a value")
        name, plan = self.reference(reference, path, owner)
        raw = not self.flag(reference, owner, "useCalibratedValue", True)
        return Comparison(name, OPERATORS[op], self.constant(plan, text, raw, node, owner), raw=raw)  # type: ignore[arg-type]

    def constant(self, plan: Plan, text: str, raw: bool, node: Node, owner: str) -> int | float | str | bool:
        if plan.kind in ("string", "binary", "time", "array"):
            raise self.refuse(node, owner, f"compares a {plan.kind} parameter; only numbers, labels and booleans "
                                           "compare")
        # A label is matched as written first: it may begin or end with spaces. Otherwise only
        # XML's own whitespace goes (str.strip would take a label's no-break space too).
        if not (not raw and plan.kind == "enumerated" and text in plan.labels):
            text = text.strip(" \t\r\n")
        if not raw and plan.kind == "enumerated":
            if text not in plan.labels:
                raise self.refuse(node, owner, f"compares with {text!r}, which is not one of the parameter's labels")
            return text
        if not raw and plan.kind == "boolean":
            truths = {**plan.truths, "true": True, "false": False}
            if text not in truths:
                raise self.refuse(node, owner, f"compares a boolean with {text!r}")
            return truths[text]
        try:
            if raw or plan.kind == "integer":
                if plan.fields["encoding"] not in FLOAT_ENCODINGS + (QUAD_ENCODING,):
                    try:
                        return int(text, 0)
                    except ValueError:
                        pass
            return float(text)
        except ValueError:
            raise self.refuse(node, owner, f"compares with {text!r}, which is not a number") from None

    # -- containers -----------------------------------------------------------------------------------------------

    def entries(self, key: Key, included: bool, stack: tuple[Key, ...] = ()) -> list[Entry]:
        """The entries of a container's own EntryList; with `included`, as
        entries of another container that includes it."""
        if key in stack:
            raise self.refuse(self.container_nodes[key], f"container {key[1]!r}", "extends or includes itself")
        node, path = self.container_nodes[key], key[0]
        owner = f"container {key[1]!r}"
        lists = [child for child in self.children(node, owner, {"EntryList", "BaseContainer"})
                 if child.tag == "EntryList"]
        result: list[Entry] = []
        for item in self.children(lists[0], owner, {"ParameterRefEntry", "ArrayParameterRefEntry",
                                                     "ContainerRefEntry"}) if lists else ():
            parts = {child.tag: child for child in self.children(item, owner, ENTRY_PARTS)} if len(item) else {}
            if "DimensionList" in parts and item.tag != "ArrayParameterRefEntry":
                raise self.refuse(parts["DimensionList"], owner, "is not supported")
            offset, relative = self.location(parts.get("LocationInContainerInBits"), path, owner, included)
            condition = self.condition(parts["IncludeCondition"], path, owner) if "IncludeCondition" in parts else None
            if item.tag == "ContainerRefEntry":
                if "RepeatEntry" in parts:
                    raise self.refuse(parts["RepeatEntry"], owner, "repeats an included container, which is not "
                                                                    "supported")
                target = self.resolve(self.container_nodes, item.get("containerRef") or "", path, item, owner,
                                      "container")
                inner = self.chain(target, True, stack + (key,))
                if not inner:
                    if offset is not None:
                        raise self.refuse(item, owner, "places an included container that has no entries")
                    continue
                inner[0] = self.place(inner[0], offset, relative)
                if condition is not None:
                    inner = [dataclasses.replace(e, condition=condition if e.condition is None
                                                 else AllOf((condition, e.condition))) for e in inner]
                result += inner
                continue
            name, plan, plain = self.parameter_at(self.resolve(self.parameter_nodes, item.get("parameterRef") or "",
                                                                path, item, owner, "parameter"))
            if not parts and plan.kind != "array":
                result.append(plain)
                continue
            count = plan.count
            if "DimensionList" in parts:
                listed = self.dimensions(parts["DimensionList"], path, owner)
                if count is not None and listed != count:
                    raise self.refuse(parts["DimensionList"], owner, "takes part of an array, which is not supported")
                count = listed
            if plan.kind == "array" and count is None:
                raise self.refuse(item, owner, f"refers to the array {name!r}, whose size is given nowhere")
            if "RepeatEntry" in parts:
                if count is not None:
                    raise self.refuse(parts["RepeatEntry"], owner, "repeats an array, which is not supported")
                count = self.repeat(parts["RepeatEntry"], path, owner)
            fields = dict(plan.fields, offset=offset, relative_to=relative, count=count, condition=condition)
            try:
                result.append(Entry(name, **fields))
            except DefinitionError as error:
                raise self.refuse(item, owner, f"cannot hold {name!r}: {error}") from None
        return result

    def place(self, entry: Entry, offset: int | None, relative: Literal["packet", "previous"]) -> Entry:
        """The first entry of an included container, where the including entry puts it."""
        if offset is None:
            return entry
        if entry.offset is None:
            return dataclasses.replace(entry, offset=offset, relative_to=relative)
        return dataclasses.replace(entry, offset=offset + entry.offset, relative_to=relative)

    def location(self, node: Node | None, path: tuple[str, ...], owner: str,
                 included: bool) -> tuple[int | None, Literal["packet", "previous"]]:
        if node is None:
            return None, "packet"
        where = node.get("referenceLocation", "previousEntry")
        if where not in ("previousEntry", "containerStart") or (where == "containerStart" and included):
            reason = ("counts from the start of an included container, which is not supported" if included
                      and where == "containerStart" else f"has referenceLocation={where!r}, which is not supported")
            raise self.refuse(node, owner, reason)
        offset = self.integer_value(node, path, owner)
        if not isinstance(offset, int):
            raise self.refuse(node, owner, "takes a location from a parameter, which is not supported")
        return offset, "packet" if where == "containerStart" else "previous"

    def repeat(self, node: Node, path: tuple[str, ...], owner: str) -> Any:
        parts = {child.tag: child for child in self.children(node, owner, {"Count", "Offset"})}
        if "Count" not in parts:
            raise self.refuse(node, owner, "needs a Count")
        if "Offset" in parts and self.integer_value(parts["Offset"], path, owner) != 0:
            raise self.refuse(parts["Offset"], owner, "puts space between repeats, which is not supported")
        return self.integer_value(parts["Count"], path, owner)

    def chain(self, key: Key, included: bool, stack: tuple[Key, ...] = ()) -> list[Entry]:
        """A container's entries after those of the containers it extends."""
        if key in stack:
            raise self.refuse(self.container_nodes[key], f"container {key[1]!r}", "extends or includes itself")
        base = self.base(key)
        above = self.chain(base[0], included, stack + (key,)) if base else []
        return above + self.entries(key, included, stack)

    def base(self, key: Key) -> tuple[Key, tuple[Condition, ...]] | None:
        node, owner = self.container_nodes[key], f"container {key[1]!r}"
        found = [child for child in self.children(node, owner, {"EntryList", "BaseContainer"})
                 if child.tag == "BaseContainer"]
        if not found:
            return None
        target = self.resolve(self.container_nodes, found[0].get("containerRef") or "", key[0], found[0], owner,
                              "container")
        criteria = self.children(found[0], owner, {"RestrictionCriteria"})
        return target, self.conditions(criteria[0], key[0], owner) if criteria else ()

    def packet_types(self, root: str | None) -> list[PacketType]:
        bases = {key: self.base(key) for key in self.container_nodes}
        chosen = list(self.container_nodes)
        if root is not None:
            matches = [key for key in chosen if root in (self.container_names[key], "/" + "/".join(key[0] + key[1:]))]
            if not matches:
                raise DocumentError(f"the root container {root!r} is not in the document", source=self.source)
            family = {matches[0]}
            grew = True
            while grew:
                grew = False
                for key, base in bases.items():
                    if key not in family and base and base[0] in family:
                        family.add(key)
                        grew = True
            up = bases[matches[0]]
            while up and up[0] not in family:  # (a cycle of bases ends here; Definitions refuses it)
                family.add(up[0])
                up = bases[up[0]]
            chosen = [key for key in chosen if key in family]
        else:
            # A container only ever included in others is a part of packets, not a kind of packet.
            linked = {base[0] for base in bases.values() if base} | {key for key, base in bases.items() if base}
            included = {self.resolve(self.container_nodes, item.get("containerRef") or "", key[0], item,
                                     f"container {key[1]!r}", "container")
                        for key, node in self.container_nodes.items() for item in self.ref_entries(node)}
            chosen = [key for key in chosen if key in linked or key not in included]
        types = []
        for key in chosen:
            node, base = self.container_nodes[key], bases[key]
            owner = f"container {key[1]!r}"
            try:
                types.append(PacketType(self.container_names[key], tuple(self.entries(key, False)),
                                        base[1] if base else (),
                                        self.container_names[base[0]] if base else None,
                                        self.flag(node, owner, "abstract", False), node.get("shortDescription")))
            except DefinitionError as error:
                if isinstance(error, DocumentError):
                    raise
                raise self.refuse(node, owner, str(error)) from None
        return types

    @staticmethod
    def ref_entries(node: Node) -> list[Node]:
        return [item for child in node if child.tag == "EntryList" for item in child
                if item.tag == "ContainerRefEntry"]

    def check_types(self) -> None:
        """Every parameter and type is read, used or not: a document is
        refused as a whole, not when some packet happens to need the broken
        part."""
        for key in self.type_nodes:
            self.type_plan(key)
        for key in self.parameter_nodes:
            self.parameter_at(key)


def read_xtce(document: str | Path | bytes, *, root: str | None = None) -> list[PacketType]:
    """The packet types an XTCE document describes: one per SequenceContainer
    (with `root`, that container, the containers it extends and those that
    extend it). `document` is a path or the document's bytes."""
    parsed = xml_tree.read(document, NAMESPACES)
    try:
        reader = XTCEReader(parsed)
        reader.check_types()
        return reader.packet_types(root)
    except RecursionError:
        # Conditions, space systems and inclusions are read recursively; no real document nests that deep.
        raise DocumentError("the document nests its elements too deeply to be read", source=parsed.source) from None


def load_xtce(document: str | Path | bytes, *, root: str | None = None) -> Definitions:
    """An XTCE document as `Definitions`, ready to decode recordings."""
    return Definitions(read_xtce(document, root=root))
