"""Packet types written as an XTCE 1.2 document that `read_xtce` reads back
to the same types, so definitions made in Python or from CSV field lists can
move to XTCE.

XTCE gives a parameter one type, so entries of the same name must describe
the same value wherever they appear. What XTCE cannot say (a size to the end
of the packet, CUC and CDS time codes, an enumeration's label for every
other code, signed BCD) is refused with the entry it belongs to.
"""
from __future__ import annotations

import re
import xml.etree.ElementTree as ET
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from fieldloom_batch.definitions.model import (AllOf, AnyOf, Boolean, Comparison, Condition, Contextual,
                                               DefinitionError, Delimited, Dynamic, Entry, Enumeration, PacketType,
                                               Polynomial, Spline, Time, ToEnd)
from fieldloom_batch.loaders.xtce_types import CHARSETS, FLOAT_SIZES, INTEGER_NAMES

NAMESPACE = "http://www.omg.org/spec/XTCE/20180204"
NAME = re.compile(r"[^./:\[\] ]+")
ENCODING_NAMES = {value: key for key, value in INTEGER_NAMES.items()}
CHARSET_NAMES = {value: key for key, value in CHARSETS.items()} | {"latin1": "ISO-8859-1"}
# Room the document promises for variable texts (memory sizing only): a whole CCSDS packet.
MAX_TEXT_BITS = 8 * 65542
# What makes two entries of one name the same parameter.
PARAMETER_FIELDS = ("encoding", "bits", "byte_order", "calibration", "unit", "description", "terminator",
                    "leading_bits")


def _number(value: float | int) -> str:
    return repr(float(value)) if isinstance(value, float) else str(int(value))


class _Writer:
    def __init__(self, types: list[PacketType]) -> None:
        self.types = types
        self.parameters: dict[str, Entry] = {}
        for packet_type in types:
            self.check_name(packet_type.name, f"packet type {packet_type.name!r}")
            for entry in packet_type.entries:
                self.check_name(entry.name, f"entry {entry.name!r}")
                known = self.parameters.setdefault(entry.name, entry)
                if any(getattr(known, key) != getattr(entry, key) for key in PARAMETER_FIELDS):
                    raise DefinitionError(f"entry {entry.name!r}: XTCE gives a parameter one type, and two entries "
                                          f"of this name differ ({known!r} and {entry!r})")

    @staticmethod
    def check_name(name: str, owner: str) -> None:
        if not NAME.fullmatch(name):
            raise DefinitionError(f"{owner}: an XTCE name has no '.', '/', ':', '[', ']' or space, and is not empty")

    def document(self, name: str) -> ET.Element:
        self.check_name(name, "space system")
        root = ET.Element("SpaceSystem", {"xmlns": NAMESPACE, "name": name})
        telemetry = ET.SubElement(root, "TelemetryMetaData")
        type_set = ET.SubElement(telemetry, "ParameterTypeSet")
        parameter_set = ET.SubElement(telemetry, "ParameterSet")
        for entry in self.parameters.values():
            self.parameter_type(type_set, entry)
            attributes = {"name": entry.name, "parameterTypeRef": f"{entry.name}_type"}
            if entry.description is not None:
                attributes["shortDescription"] = entry.description
            ET.SubElement(parameter_set, "Parameter", attributes)
        container_set = ET.SubElement(telemetry, "ContainerSet")
        for packet_type in self.types:
            self.container(container_set, packet_type)
        return root

    # -- types ----------------------------------------------------------------------------------------------------

    def parameter_type(self, parent: ET.Element, entry: Entry) -> None:
        owner = f"entry {entry.name!r}"
        calibration = entry.calibration
        name = {"name": f"{entry.name}_type"}
        if entry.encoding == "binary" or not entry.numeric:
            if entry.byte_order != "big":
                raise DefinitionError(f"{owner}: XTCE text and binary values have no byte order")
            tag = "BinaryParameterType" if entry.encoding == "binary" else "StringParameterType"
            element = ET.SubElement(parent, tag, name)
            self.units(element, entry)
            (self.binary if entry.encoding == "binary" else self.text)(element, entry, owner)
            return
        if isinstance(calibration, Time):
            if entry.unit is not None:
                raise DefinitionError(f"{owner}: XTCE times have no unit (unit={entry.unit!r})")
            element = ET.SubElement(parent, "AbsoluteTimeParameterType", name)
            encoding = ET.SubElement(element, "Encoding", {"scale": _number(calibration.scale),
                                                          "offset": _number(calibration.offset)})
            self.numeric(encoding, entry, owner)
            ET.SubElement(ET.SubElement(element, "ReferenceTime"), "Epoch").text = calibration.epoch
            return
        if isinstance(calibration, Enumeration):
            if calibration.other is not None:
                raise DefinitionError(f"{owner}: XTCE has no label for every other code (other={calibration.other!r})")
            element = ET.SubElement(parent, "EnumeratedParameterType", name)
            self.units(element, entry)
            self.numeric(element, entry, owner)
            labels = ET.SubElement(element, "EnumerationList")
            for code, label in calibration.labels.items():
                ET.SubElement(labels, "Enumeration", {"value": str(code), "label": label})
            return
        if isinstance(calibration, Boolean):
            element = ET.SubElement(parent, "BooleanParameterType", name)
            self.units(element, entry)
            self.numeric(element, entry, owner)
            return
        if calibration is not None and not isinstance(calibration, (Polynomial, Spline, Contextual)):
            raise DefinitionError(f"{owner}: XTCE has no {type(calibration).__name__} time code; "
                                  "describe it as a Time (a count scaled from an epoch)")
        floating = calibration is not None or entry.encoding.startswith("ieee754")
        element = ET.SubElement(parent, "FloatParameterType" if floating else "IntegerParameterType", name)
        self.units(element, entry)
        encoding = self.numeric(element, entry, owner)
        if isinstance(calibration, Contextual):
            if calibration.default is not None:
                self.calibrator(ET.SubElement(encoding, "DefaultCalibrator"), calibration.default)
            contexts = ET.SubElement(encoding, "ContextCalibratorList")
            for condition, case in calibration.cases:
                context = ET.SubElement(contexts, "ContextCalibrator")
                self.criteria(ET.SubElement(context, "ContextMatch"), (condition,))
                self.calibrator(ET.SubElement(context, "Calibrator"), case)
        elif calibration is not None:
            self.calibrator(ET.SubElement(encoding, "DefaultCalibrator"), calibration)

    @staticmethod
    def units(element: ET.Element, entry: Entry) -> None:
        if entry.unit is not None:
            ET.SubElement(ET.SubElement(element, "UnitSet"), "Unit").text = entry.unit

    @staticmethod
    def numeric(parent: ET.Element, entry: Entry, owner: str) -> ET.Element:
        order = {"byteOrder": "leastSignificantByteFirst"} if entry.byte_order == "little" else {}
        if entry.encoding in ENCODING_NAMES:
            return ET.SubElement(parent, "IntegerDataEncoding", {"encoding": ENCODING_NAMES[entry.encoding],
                                                                 "sizeInBits": str(entry.bits), **order})
        if FLOAT_SIZES.get(entry.bits) == entry.encoding:  # type: ignore[arg-type]
            return ET.SubElement(parent, "FloatDataEncoding", {"sizeInBits": str(entry.bits), **order})
        raise DefinitionError(f"{owner}: XTCE has no {entry.encoding} encoding of {entry.bits} bits")

    def size(self, parent: ET.Element, size: int | Dynamic) -> None:
        if isinstance(size, int):
            ET.SubElement(parent, "FixedValue").text = str(size)
            return
        dynamic = ET.SubElement(parent, "DynamicValue")
        ET.SubElement(dynamic, "ParameterInstanceRef", {"parameterRef": size.field, "useCalibratedValue": "false"})
        ET.SubElement(dynamic, "LinearAdjustment", {"slope": str(size.slope * size.bits_per_unit),
                                                    "intercept": str(size.intercept * size.bits_per_unit)})

    def binary(self, element: ET.Element, entry: Entry, owner: str) -> None:
        if isinstance(entry.bits, (ToEnd, Delimited)):
            raise DefinitionError(f"{owner}: XTCE has no binary size that runs to the end of the packet")
        self.size(ET.SubElement(ET.SubElement(element, "BinaryDataEncoding"), "SizeInBits"), entry.bits)

    def text(self, element: ET.Element, entry: Entry, owner: str) -> None:
        encoding = ET.SubElement(element, "StringDataEncoding", {"encoding": CHARSET_NAMES[entry.encoding]})
        if isinstance(entry.bits, ToEnd):
            raise DefinitionError(f"{owner}: XTCE has no text size that runs to the end of the packet")
        if entry.terminator is not None and entry.leading_bits is not None:
            raise DefinitionError(f"{owner}: XTCE's leading size makes a terminator meaningless; give one of them")
        if isinstance(entry.bits, int):
            size = ET.SubElement(encoding, "SizeInBits")
            ET.SubElement(ET.SubElement(size, "Fixed"), "FixedValue").text = str(entry.bits)
        else:
            size = ET.SubElement(encoding, "Variable", {"maxSizeInBits": str(MAX_TEXT_BITS)})
            if isinstance(entry.bits, Dynamic):
                self.size(size, entry.bits)
        if entry.leading_bits is not None:
            ET.SubElement(size, "LeadingSize", {"sizeInBitsOfSizeTag": str(entry.leading_bits)})
        if entry.terminator is not None:
            ET.SubElement(size, "TerminationChar").text = entry.terminator.hex().upper()

    @staticmethod
    def calibrator(parent: ET.Element, calibration: Polynomial | Spline) -> None:
        if isinstance(calibration, Polynomial):
            polynomial = ET.SubElement(parent, "PolynomialCalibrator")
            for exponent, coefficient in enumerate(calibration.coefficients):
                ET.SubElement(polynomial, "Term", {"coefficient": repr(coefficient), "exponent": str(exponent)})
            return
        spline = ET.SubElement(parent, "SplineCalibrator", {"order": str(calibration.order),
                                                            "extrapolate": str(calibration.extrapolate).lower()})
        for raw, calibrated in calibration.points:
            ET.SubElement(spline, "SplinePoint", {"raw": repr(raw), "calibrated": repr(calibrated)})

    # -- containers -----------------------------------------------------------------------------------------------

    def container(self, parent: ET.Element, packet_type: PacketType) -> None:
        attributes = {"name": packet_type.name}
        if packet_type.abstract:
            attributes["abstract"] = "true"
        if packet_type.description is not None:
            attributes["shortDescription"] = packet_type.description
        container = ET.SubElement(parent, "SequenceContainer", attributes)
        entries = ET.SubElement(container, "EntryList")
        for entry in packet_type.entries:
            item = ET.SubElement(entries, "ParameterRefEntry", {"parameterRef": entry.name})
            if entry.offset is not None:
                where = "containerStart" if entry.relative_to == "packet" else "previousEntry"
                location = ET.SubElement(item, "LocationInContainerInBits", {"referenceLocation": where})
                ET.SubElement(location, "FixedValue").text = str(entry.offset)
            if entry.count is not None:
                count = ET.SubElement(ET.SubElement(item, "RepeatEntry"), "Count")
                if isinstance(entry.count, Dynamic):
                    self.size(count, Dynamic(entry.count.field, entry.count.slope, entry.count.intercept))
                else:
                    self.size(count, entry.count)
            if entry.condition is not None:
                self.criteria(ET.SubElement(item, "IncludeCondition"), (entry.condition,))
        if packet_type.base is not None:
            base = ET.SubElement(container, "BaseContainer", {"containerRef": packet_type.base})
            if packet_type.conditions:
                self.criteria(ET.SubElement(base, "RestrictionCriteria"), packet_type.conditions)
        elif packet_type.conditions:
            raise DefinitionError(f"packet type {packet_type.name!r}: XTCE restricts a container only against "
                                  "the one it extends; a type with conditions needs a base")

    def criteria(self, parent: ET.Element, conditions: tuple[Condition, ...]) -> None:
        """Comparisons stay comparisons (a list of them for several); anything
        else is a boolean expression (several conditions ANDed)."""
        if all(isinstance(condition, Comparison) for condition in conditions):
            holder = parent if len(conditions) == 1 else ET.SubElement(parent, "ComparisonList")
            for condition in conditions:
                assert isinstance(condition, Comparison)
                attributes = {"parameterRef": condition.field, "comparisonOperator": condition.op,
                              "value": self.constant(condition)}
                if condition.raw:
                    attributes["useCalibratedValue"] = "false"
                ET.SubElement(holder, "Comparison", attributes)
            return
        expression = ET.SubElement(parent, "BooleanExpression")
        self.expression(expression, conditions[0] if len(conditions) == 1 else AllOf(conditions))

    def expression(self, parent: ET.Element, condition: Condition) -> None:
        if isinstance(condition, Comparison):
            check = ET.SubElement(parent, "Condition")
            reference = {"parameterRef": condition.field}
            if condition.raw:
                reference["useCalibratedValue"] = "false"
            ET.SubElement(check, "ParameterInstanceRef", reference)
            ET.SubElement(check, "ComparisonOperator").text = condition.op
            ET.SubElement(check, "Value").text = self.constant(condition)
            return
        group = ET.SubElement(parent, "ANDedConditions" if isinstance(condition, AllOf) else "ORedConditions")
        for inner in condition.conditions:
            self.expression(group, inner)

    def constant(self, comparison: Comparison) -> str:
        value = comparison.value
        field = self.parameters.get(comparison.field)
        if isinstance(value, bool):
            boolean = field is not None and isinstance(field.calibration, Boolean) and not comparison.raw
            return ("True" if value else "False") if boolean else str(int(value))
        if isinstance(value, float):
            return repr(value)
        return str(value)


def write_xtce(types: Iterable[PacketType] | Any, path: str | Path | None = None, *, name: str = "fieldloom") -> bytes:
    """Packet types (or a `Definitions`) as an XTCE 1.2 document, returned as
    UTF-8 bytes and written to `path` when one is given."""
    listed = list(types.types.values()) if hasattr(types, "types") else list(types)
    root = _Writer(listed).document(name)
    ET.indent(root)
    data: bytes = ET.tostring(root, encoding="utf-8", xml_declaration=True)
    if path is not None:
        Path(path).write_bytes(data)
    return data
