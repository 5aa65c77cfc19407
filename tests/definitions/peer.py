"""The same packet types in space_packet_parser's model, built from ours: for
the differential tests and the benchmark. Only what the peer decodes too:
integers at any bit, IEEE floats, text, binary, polynomial and spline
calibrations, enumerations, booleans, inheritance on equality criteria."""
from __future__ import annotations

import math
import struct
import warnings
from typing import Any

import numpy as np

from space_packet_parser.xtce import calibrators, comparisons, containers, definitions, encodings, parameter_types
from space_packet_parser.xtce.parameters import Parameter

from fieldloom_batch.definitions.model import (Boolean, Comparison, Dynamic, Entry, Enumeration, PacketType,
                                               Polynomial, Spline)

BYTE_ORDERS = {"big": "mostSignificantByteFirst", "little": "leastSignificantByteFirst"}
TEXT = {"utf8": "UTF-8", "utf16be": "UTF-16BE", "utf16le": "UTF-16LE", "utf32be": "UTF-32BE", "utf32le": "UTF-32LE",
        "us_ascii": "US-ASCII", "iso_8859_1": "ISO-8859-1", "windows_1252": "Windows-1252"}


def adjuster(size: Dynamic) -> Any:
    return lambda value: (size.slope * value + size.intercept) * size.bits_per_unit


def parameter(entry: Entry) -> Parameter:
    name, calibration = entry.name, entry.calibration
    if entry.encoding == "binary":
        if isinstance(entry.bits, Dynamic):
            encoding: Any = encodings.BinaryDataEncoding(size_reference_parameter=entry.bits.field,
                                                         use_calibrated_value=False, linear_adjuster=adjuster(entry.bits))
        else:
            encoding = encodings.BinaryDataEncoding(fixed_size_in_bits=entry.bits)
        return Parameter(name, parameter_types.BinaryParameterType(name, encoding))
    if entry.encoding in TEXT:
        if isinstance(entry.bits, Dynamic):
            encoding = encodings.StringDataEncoding(encoding=TEXT[entry.encoding], dynamic_length_reference=entry.bits.field,
                                                    use_calibrated_value=False, length_linear_adjuster=adjuster(entry.bits))
        else:
            encoding = encodings.StringDataEncoding(encoding=TEXT[entry.encoding], fixed_raw_length=entry.bits)
        return Parameter(name, parameter_types.StringParameterType(name, encoding))
    default = None
    if isinstance(calibration, Polynomial):
        default = calibrators.PolynomialCalibrator(
            [calibrators.PolynomialCoefficient(c, k) for k, c in enumerate(calibration.coefficients)])
    elif isinstance(calibration, Spline):
        default = calibrators.SplineCalibrator([calibrators.SplinePoint(x, y) for x, y in calibration.points],
                                               calibration.order, calibration.extrapolate)
    if entry.encoding.startswith("ieee754"):
        encoding = encodings.FloatDataEncoding(entry.bits, encoding="IEEE754", byte_order=BYTE_ORDERS[entry.byte_order],
                                               default_calibrator=default)
    else:
        encoding = encodings.IntegerDataEncoding(entry.bits, "unsigned" if entry.encoding == "unsigned" else "twosComplement",
                                                 byte_order=BYTE_ORDERS[entry.byte_order], default_calibrator=default)
    if isinstance(calibration, Enumeration):
        kind: Any = parameter_types.EnumeratedParameterType(name, encoding, dict(calibration.labels))
    elif isinstance(calibration, Boolean):
        kind = parameter_types.BooleanParameterType(name, encoding)
    elif default is not None or entry.encoding.startswith("ieee754"):
        kind = parameter_types.FloatParameterType(name, encoding)
    else:
        kind = parameter_types.IntegerParameterType(name, encoding)
    return Parameter(name, kind)


def definition(types: list[PacketType]) -> definitions.XtcePacketDefinition:
    """Our types as sequence containers; conditions must be == comparisons
    on raw values, and at most one child's may hold for a packet."""
    made = []
    for t in types:
        criteria = []
        for condition in t.conditions:
            assert isinstance(condition, Comparison) and condition.op == "==", condition
            criteria.append(comparisons.Comparison(condition.value, condition.field, "==", use_calibrated_value=False))
        made.append(containers.SequenceContainer(
            t.name, [parameter(e) for e in t.entries], base_container_name=t.base, restriction_criteria=criteria,
            abstract=t.abstract, inheritors=[c.name for c in types if c.base == t.name]))
    return definitions.XtcePacketDefinition(made, root_container_name=types[0].name)


def parse(definition: definitions.XtcePacketDefinition, packet: bytes) -> Any:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the peer warns of packets longer than their entries
        return definition.parse_bytes(packet)


def agrees(entry: Entry, ours: Any, theirs: Any) -> bool:
    """Our value against the peer's: floats bit for bit (NaN payloads aside:
    the peer widens half floats with struct), except a polynomial, which the
    peer sums term by term (ours is Horner's rule), and a spline, whose
    pieces it evaluates in another order."""
    if isinstance(entry.calibration, (Polynomial, Spline)):
        x = float(theirs.raw_value)
        if isinstance(entry.calibration, Polynomial):
            scale = sum(abs(c * x**k) for k, c in enumerate(entry.calibration.coefficients))
        else:  # the peer multiplies by the slope; we divide the distance first
            scale = max(abs(y) for _, y in entry.calibration.points) * (1 + abs(x))
        return math.isclose(ours, theirs, rel_tol=1e-12, abs_tol=1e-12 * scale) or (math.isnan(ours) and math.isnan(theirs))
    if isinstance(ours, (float, np.floating)):
        if math.isnan(ours):
            return math.isnan(theirs)
        return struct.pack("<d", float(ours)) == struct.pack("<d", float(theirs))
    return bool(ours == theirs)
