"""XTCE parameter types, their encodings and calibrators, read into the
parts of an `Entry`. The document walk (names, parameters, containers,
conditions) is in xtce.py; this is the half that says how one value is
encoded."""
from __future__ import annotations

import datetime
from collections.abc import Set as AbstractSet
from dataclasses import dataclass, field
from typing import Any
from xml.etree.ElementTree import Element as Node

from fieldloom_batch.definitions.model import (FLOAT_ENCODINGS, QUAD_ENCODING, Boolean, Calibration, Condition,
                                               Contextual, DefinitionError, Delimited, Dynamic, Enumeration,
                                               Polynomial, Spline, Time)
from fieldloom_batch.loaders.xml_tree import Document, DocumentError, text

# Elements that say nothing about how a packet is decoded: documentation,
# display hints, alarms and validity, rates. Skipped wherever they appear.
HARMLESS = frozenset({
    "LongDescription", "AliasSet", "AncillaryDataSet", "ToString", "ValidRange", "DefaultAlarm", "ContextAlarmList",
    "BinaryContextAlarmList", "ParameterProperties", "DefaultRateInStream", "RateInStreamSet", "TimeAssociation",
})

INTEGER_NAMES = {"unsigned": "unsigned", "twosComplement": "twos_complement", "onesComplement": "ones_complement",
                 "signMagnitude": "sign_magnitude", "BCD": "unpacked_bcd", "packedBCD": "packed_bcd"}
FLOAT_SIZES = {16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64", 128: "ieee754_f128"}
CHARSETS = {"US-ASCII": "us_ascii", "ISO-8859-1": "iso_8859_1", "Windows-1252": "windows_1252", "UTF-8": "utf8",
            "UTF-16": "utf16", "UTF-16LE": "utf16le", "UTF-16BE": "utf16be", "UTF-32": "utf32", "UTF-32LE": "utf32le",
            "UTF-32BE": "utf32be"}
# Named epochs, as counts on their own scale with no leap seconds: TAI's
# 1958 origin, J2000 (2000-01-01 12:00 TT) written in TAI, and the Unix and
# GPS origins.
EPOCHS = {"TAI": "1958-01-01T00:00:00", "J2000": "2000-01-01T11:59:27.816", "UNIX": "1970-01-01T00:00:00",
          "POSIX": "1970-01-01T00:00:00", "GPS": "1980-01-06T00:00:00"}
TIME_UNITS = {"seconds": 1.0}
CALIBRATORS = frozenset({"DefaultCalibrator", "ContextCalibratorList"})
DATA_TYPE_PARTS = frozenset({"IntegerDataEncoding", "FloatDataEncoding", "StringDataEncoding", "BinaryDataEncoding",
                             "UnitSet", "EnumerationList"})
# A polynomial's degree and an enumeration's range are bounded so that a
# hostile document cannot make the loader allocate without limit.
MAX_EXPONENT = 1024
MAX_RANGE_CODES = 65536


@dataclass
class Plan:
    """What a parameter type gives the entries of its parameters."""

    kind: str  # integer, float, enumerated, boolean, string, binary, time, array
    fields: dict[str, Any]
    count: int | Dynamic | None = None
    labels: frozenset[str] = frozenset()
    truths: dict[str, bool] = field(default_factory=dict)

    @property
    def calibrated(self) -> bool:
        return self.fields.get("calibration") is not None


BOOLEANS = {"true": True, "1": True, "false": False, "0": False}


class TypeReader:
    """Parameter types to `Plan`s. The document reader provides the naming
    and conditions (`parameter`, `parameter_spec`, `condition`)."""

    source: str
    document: Document

    def line(self, node: Node) -> int | None:
        return self.document.line(node)

    # -- provided by the document reader --------------------------------------------------------------------------

    def parameter(self, ref: str, path: tuple[str, ...], node: Node, owner: str) -> tuple[str, Plan]:
        raise NotImplementedError

    def condition(self, node: Node, path: tuple[str, ...], owner: str) -> Condition:
        raise NotImplementedError

    # -- shared helpers -------------------------------------------------------------------------------------------

    def refuse(self, node: Node, owner: str, message: str) -> DocumentError:
        return DocumentError(f"<{node.tag}> of {owner} {message}", source=self.source, line=self.line(node))

    def children(self, node: Node, owner: str, allowed: AbstractSet[str]) -> list[Node]:
        """The children that matter; anything neither allowed nor harmless is refused."""
        kept = []
        for child in node:
            if child.tag in HARMLESS:
                continue
            if child.tag not in allowed:
                raise self.refuse(child, owner, "is not supported")
            kept.append(child)
        return kept

    def one(self, node: Node, owner: str, allowed: set[str]) -> Node:
        found = self.children(node, owner, allowed)
        if len(found) != 1:
            raise self.refuse(node, owner, f"needs exactly one of {', '.join(sorted(allowed))}")
        return found[0]

    def number(self, node: Node, owner: str, name: str, default: float | None = None, *, whole: bool = False) -> Any:
        text = node.get(name)
        if text is None:
            if default is None:
                raise self.refuse(node, owner, f"needs the attribute {name}")
            return int(default) if whole else default
        try:
            value = float(text)
        except ValueError:
            raise self.refuse(node, owner, f"has {name}={text!r}, which is not a number") from None
        if whole:
            if not value.is_integer():
                raise self.refuse(node, owner, f"has {name}={text!r}; only whole numbers are supported here")
            return int(value)
        return value

    def flag(self, node: Node, owner: str, name: str, default: bool) -> bool:
        value = node.get(name)
        if value is None:
            return default
        if value.strip() not in BOOLEANS:
            raise self.refuse(node, owner, f"has {name}={value!r}, which is not a boolean")
        return BOOLEANS[value.strip()]

    def integer_value(self, node: Node, path: tuple[str, ...], owner: str) -> int | Dynamic:
        """An IntegerValueType: a fixed value, or one from a parameter."""
        child = self.one(node, owner, {"FixedValue", "DynamicValue"})
        if child.tag == "FixedValue":
            try:
                return int(text(child), 0)
            except ValueError:
                raise self.refuse(child, owner, f"holds {text(child)!r}, which is not an integer") from None
        return self.dynamic(child, path, owner)

    def dynamic(self, node: Node, path: tuple[str, ...], owner: str) -> Dynamic:
        slope, intercept = 1, 0
        reference = None
        for child in self.children(node, owner, {"ParameterInstanceRef", "LinearAdjustment"}):
            if child.tag == "LinearAdjustment":
                slope = self.number(child, owner, "slope", 1.0, whole=True)
                intercept = self.number(child, owner, "intercept", 0.0, whole=True)
            else:
                reference = child
        if reference is None:
            raise self.refuse(node, owner, "needs a ParameterInstanceRef")
        name, plan = self.reference(reference, path, owner)
        if plan.calibrated and self.flag(reference, owner, "useCalibratedValue", True):
            raise self.refuse(reference, owner, f"takes a size or count from the calibrated value of {name!r}; "
                                                "sizes come from values before calibration "
                                                "(say useCalibratedValue=\"false\")")
        return Dynamic(name, slope, intercept)

    def reference(self, node: Node, path: tuple[str, ...], owner: str) -> tuple[str, Plan]:
        """A ParameterInstanceRef: the entry name and plan of the parameter."""
        if node.get("instance", "0").strip() != "0":
            raise self.refuse(node, owner, "refers to another instance than the current one (instance is not 0)")
        return self.parameter(node.get("parameterRef") or "", path, node, owner)

    # -- encodings ------------------------------------------------------------------------------------------------

    def byte_order(self, node: Node, owner: str, *, numeric: bool) -> str:
        if node.get("bitOrder", "mostSignificantBitFirst") != "mostSignificantBitFirst":
            raise self.refuse(node, owner, f"has bitOrder={node.get('bitOrder')!r}; only mostSignificantBitFirst is supported")
        order = node.get("byteOrder", "mostSignificantByteFirst")
        if order == "mostSignificantByteFirst":
            return "big"
        if order == "leastSignificantByteFirst" and numeric:
            return "little"
        raise self.refuse(node, owner, f"has byteOrder={order!r}, which is not supported here")

    def encoding(self, node: Node, path: tuple[str, ...], owner: str) -> tuple[dict[str, Any], list[Node]]:
        """Entry fields of a data encoding element, and its calibrator elements."""
        calibrators = CALIBRATORS
        if node.tag == "IntegerDataEncoding":
            name = node.get("encoding", "unsigned")
            if name not in INTEGER_NAMES:
                raise self.refuse(node, owner, f"has encoding={name!r}, which is not an integer encoding")
            bits = self.number(node, owner, "sizeInBits", 8, whole=True)
            fields = {"encoding": INTEGER_NAMES[name], "bits": bits,
                      "byte_order": self.byte_order(node, owner, numeric=True)}
            return fields, self.children(node, owner, calibrators)
        if node.tag == "FloatDataEncoding":
            name = node.get("encoding", "IEEE754_1985")
            bits = self.number(node, owner, "sizeInBits", 32, whole=True)
            if name not in ("IEEE754_1985", "IEEE754") or bits not in FLOAT_SIZES:
                raise self.refuse(node, owner, f"has encoding={name!r} of {bits} bits; IEEE754_1985 of 16, 32, 64 "
                                               "or 128 bits is supported")
            fields = {"encoding": FLOAT_SIZES[bits], "bits": bits,
                      "byte_order": self.byte_order(node, owner, numeric=True)}
            return fields, self.children(node, owner, calibrators)
        if node.tag == "StringDataEncoding":
            return self.string_encoding(node, path, owner), []
        if node.tag == "BinaryDataEncoding":
            self.byte_order(node, owner, numeric=False)
            size = self.one(node, owner, {"SizeInBits"})
            return {"encoding": "binary", "bits": self.integer_value(size, path, owner)}, []
        raise self.refuse(node, owner, "is not supported")

    def string_encoding(self, node: Node, path: tuple[str, ...], owner: str) -> dict[str, Any]:
        charset = node.get("encoding", "UTF-8")
        if charset not in CHARSETS:
            raise self.refuse(node, owner, f"has encoding={charset!r}, which is not supported")
        self.byte_order(node, owner, numeric=False)
        fields: dict[str, Any] = {"encoding": CHARSETS[charset]}
        size = self.one(node, owner, {"SizeInBits", "Variable"})
        parts = {child.tag: child for child in self.children(
            size, owner, {"Fixed", "TerminationChar", "LeadingSize", "DynamicValue"})}
        if size.tag == "SizeInBits":
            if "Fixed" not in parts or "DynamicValue" in parts:
                raise self.refuse(size, owner, "needs a Fixed size")
            fields["bits"] = self.integer_value(parts["Fixed"], path, owner)
            if not isinstance(fields["bits"], int):
                raise self.refuse(parts["Fixed"], owner, "needs a FixedValue")
        elif "DynamicValue" in parts:
            fields["bits"] = self.dynamic(parts["DynamicValue"], path, owner)
        elif "LeadingSize" in parts or "TerminationChar" in parts:
            fields["bits"] = Delimited()
        else:
            raise self.refuse(size, owner, "needs a DynamicValue, a LeadingSize or a TerminationChar")
        # With a leading size the terminator means nothing (the size tag says where the text ends).
        if "LeadingSize" in parts:
            fields["leading_bits"] = self.number(parts["LeadingSize"], owner, "sizeInBitsOfSizeTag", 16, whole=True)
        elif "TerminationChar" in parts:
            hex_text = text(parts["TerminationChar"]) or "00"
            try:
                fields["terminator"] = bytes.fromhex(hex_text)
            except ValueError:
                raise self.refuse(parts["TerminationChar"], owner, f"holds {hex_text!r}, which is not hex") from None
        return fields

    # -- calibrators ----------------------------------------------------------------------------------------------

    def calibrator(self, node: Node, owner: str) -> Polynomial | Spline:
        """A CalibratorType element (DefaultCalibrator, Calibrator)."""
        child = self.one(node, owner, {"PolynomialCalibrator", "SplineCalibrator"})
        if child.tag == "PolynomialCalibrator":
            coefficients: dict[int, float] = {}
            for term in self.children(child, owner, {"Term"}):
                exponent = self.number(term, owner, "exponent", whole=True)
                if not 0 <= exponent <= MAX_EXPONENT:
                    raise self.refuse(term, owner, f"has exponent {exponent}; 0 to {MAX_EXPONENT} are supported")
                coefficient = self.number(term, owner, "coefficient")
                # Terms of one exponent add up; a lone term keeps its value as written (-0.0 too).
                coefficients[exponent] = coefficients[exponent] + coefficient if exponent in coefficients else coefficient
            if not coefficients:
                raise self.refuse(child, owner, "needs at least one Term")
            return Polynomial(tuple(coefficients.get(k, 0.0) for k in range(max(coefficients) + 1)))
        order = self.number(child, owner, "order", 1, whole=True)
        if order not in (0, 1):
            raise self.refuse(child, owner, f"has order {order}; splines of order 0 and 1 are supported")
        points = []
        for point in self.children(child, owner, {"SplinePoint"}):
            if point.get("order") is not None and self.number(point, owner, "order", whole=True) != order:
                raise self.refuse(point, owner, "has an order other than its spline's")
            points.append((self.number(point, owner, "raw"), self.number(point, owner, "calibrated")))
        try:
            return Spline(tuple(sorted(points)), order=order, extrapolate=self.flag(child, owner, "extrapolate", False))
        except DefinitionError as error:
            raise self.refuse(child, owner, str(error)) from None

    def calibration(self, nodes: list[Node], path: tuple[str, ...], owner: str) -> Calibration | None:
        default = None
        cases: list[tuple[Condition, Polynomial | Spline]] = []
        for node in nodes:
            if node.tag == "DefaultCalibrator":
                default = self.calibrator(node, owner)
                continue
            for context in self.children(node, owner, {"ContextCalibrator"}):
                parts = {child.tag: child for child in self.children(context, owner, {"ContextMatch", "Calibrator"})}
                if len(parts) != 2:
                    raise self.refuse(context, owner, "needs a ContextMatch and a Calibrator")
                cases.append((self.condition(parts["ContextMatch"], path, owner),
                              self.calibrator(parts["Calibrator"], owner)))
        if cases:
            return Contextual(tuple(cases), default)
        return default

    # -- parameter types ------------------------------------------------------------------------------------------

    def data_type(self, node: Node, path: tuple[str, ...], owner: str, *, calibrated: bool) -> tuple[dict[str, Any], list[Node]]:
        """The encoding, unit and description of a numeric, text or binary type."""
        if node.get("baseType") is not None:
            raise self.refuse(node, owner, "derives from another type (baseType), which is not supported")
        units: list[str] = []
        found: list[Node] = []
        for child in self.children(node, owner, DATA_TYPE_PARTS):
            if child.tag == "UnitSet":
                units += [text(unit) for unit in self.children(child, owner, {"Unit"}) if text(unit)]
            elif child.tag != "EnumerationList":
                found.append(child)
        if len(found) != 1:
            raise self.refuse(node, owner, "needs exactly one data encoding")
        fields, calibrators = self.encoding(found[0], path, owner)
        if calibrators and not calibrated:
            raise self.refuse(calibrators[0], owner, f"calibrates a {node.tag}, which is not supported")
        if units:
            fields["unit"] = " ".join(units)
        if node.get("shortDescription"):
            fields["description"] = node.get("shortDescription")
        return fields, calibrators

    def plan(self, node: Node, path: tuple[str, ...], owner: str) -> Plan:
        tag = node.tag
        if tag in ("IntegerParameterType", "FloatParameterType"):
            fields, calibrators = self.data_type(node, path, owner, calibrated=True)
            if fields["encoding"] in ("binary",) or "leading_bits" in fields or fields["encoding"] in CHARSETS.values():
                raise self.refuse(node, owner, "has a text or binary encoding; numbers need an integer or float one")
            calibration = self.calibration(calibrators, path, owner)
            floating = fields["encoding"] in FLOAT_ENCODINGS or fields["encoding"] == QUAD_ENCODING
            if tag == "IntegerParameterType" and floating:
                raise self.refuse(node, owner, "has a float encoding; an integer type needs an integer one")
            if calibration is None and tag == "FloatParameterType" and not floating:
                # A float of an integer encoding is that integer as a float: the identity polynomial.
                calibration = Polynomial((0.0, 1.0))
            if calibration is not None:
                fields["calibration"] = calibration
            return Plan("float" if tag == "FloatParameterType" or calibration else "integer", fields)
        if tag == "EnumeratedParameterType":
            fields, _ = self.data_type(node, path, owner, calibrated=False)
            labels = self.enumeration(node, owner)
            fields["calibration"] = labels
            self.integer_only(node, fields, owner)
            return Plan("enumerated", fields, labels=frozenset(labels.labels.values()))
        if tag == "BooleanParameterType":
            fields, _ = self.data_type(node, path, owner, calibrated=False)
            self.integer_only(node, fields, owner)
            fields["calibration"] = Boolean()
            truths = {node.get("oneStringValue", "True") or "": True, node.get("zeroStringValue", "False") or "": False}
            return Plan("boolean", fields, truths=truths)
        if tag in ("StringParameterType", "BinaryParameterType"):
            fields, _ = self.data_type(node, path, owner, calibrated=False)
            wanted = "binary" if tag == "BinaryParameterType" else "text"
            if (fields["encoding"] == "binary") != (wanted == "binary"):
                raise self.refuse(node, owner, f"needs a {'Binary' if wanted == 'binary' else 'String'}DataEncoding")
            return Plan("binary" if wanted == "binary" else "string", fields)
        if tag == "AbsoluteTimeParameterType":
            return self.time(node, path, owner)
        raise self.refuse(node, owner, "is not supported")

    def integer_only(self, node: Node, fields: dict[str, Any], owner: str) -> None:
        if fields["encoding"] not in INTEGER_NAMES.values():
            raise self.refuse(node, owner, "needs an IntegerDataEncoding")

    def enumeration(self, node: Node, owner: str) -> Enumeration:
        lists = [child for child in node if child.tag == "EnumerationList"]
        if len(lists) != 1:
            raise self.refuse(node, owner, "needs one EnumerationList")
        labels: dict[int, str] = {}
        for item in self.children(lists[0], owner, {"Enumeration"}):
            first = self.number(item, owner, "value", whole=True)
            last = self.number(item, owner, "maxValue", first, whole=True)
            if not 0 <= last - first < MAX_RANGE_CODES - len(labels):
                raise self.refuse(item, owner, f"covers codes {first} to {last}; at most {MAX_RANGE_CODES} codes "
                                               "in all are supported")
            label = item.get("label")
            if label is None:
                raise self.refuse(item, owner, "needs the attribute label")
            for code in range(first, last + 1):
                labels[code] = label
        return Enumeration(labels)

    def time(self, node: Node, path: tuple[str, ...], owner: str) -> Plan:
        if node.get("baseType") is not None:
            raise self.refuse(node, owner, "derives from another type (baseType), which is not supported")
        parts = {child.tag: child for child in self.children(node, owner, {"Encoding", "ReferenceTime"})}
        if "Encoding" not in parts or "ReferenceTime" not in parts:
            raise self.refuse(node, owner, "needs an Encoding and a ReferenceTime")
        encoding = parts["Encoding"]
        units = encoding.get("units", "seconds")
        if units not in TIME_UNITS:
            raise self.refuse(encoding, owner, f"counts in {units}; only seconds are supported")
        inner = self.one(encoding, owner, {"IntegerDataEncoding", "FloatDataEncoding"})
        fields, calibrators = self.encoding(inner, path, owner)
        if calibrators:
            raise self.refuse(calibrators[0], owner, "calibrates a time, which is not supported")
        epoch_node = self.one(parts["ReferenceTime"], owner, {"Epoch"})
        fields["calibration"] = Time(self.epoch(epoch_node, owner),
                                     scale=self.number(encoding, owner, "scale", 1.0) * TIME_UNITS[units],
                                     offset=self.number(encoding, owner, "offset", 0.0))
        if node.get("shortDescription"):
            fields["description"] = node.get("shortDescription")
        return Plan("time", fields)

    def epoch(self, node: Node, owner: str) -> str:
        written = text(node)
        if written in EPOCHS:
            return EPOCHS[written]
        bare = written[:-1] if written.endswith("Z") else written
        try:
            moment = datetime.datetime.fromisoformat(bare)
        except ValueError:
            raise self.refuse(node, owner, f"holds {written!r}, which is neither a named epoch ("
                                           f"{', '.join(EPOCHS)}) nor a date and time") from None
        if moment.tzinfo is not None:
            raise self.refuse(node, owner, f"holds {written!r}; only times without a zone offset (or Z) are supported")
        return bare
