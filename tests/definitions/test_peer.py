"""Differential tests against space_packet_parser on packet types and
recordings generated here: the reference, and the engine, give the peer's values."""
import math
import struct
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import peer
import reference
import strategies
from fieldloom_batch.definitions.model import Polynomial, Spline

try:
    from fieldloom_batch.definitions import Definitions
except ImportError:  # the engine is not built in: the reference alone meets the peer
    Definitions = None

CASES = strategies.type_sets(peer=True).flatmap(lambda ts: strategies.recordings(ts).map(lambda r: (ts, r)))


def agrees(entry, ours, theirs) -> bool:
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
    return type(ours)(theirs) == ours and (isinstance(ours, bool) == isinstance(theirs, bool) or bool(ours) == theirs)


def peer_values(definition, packet):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the peer warns of packets longer than their entries
        return definition.parse_bytes(packet)


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(CASES)
def test_values_equal_the_peers(case):
    type_set, (buffer, spans) = case
    definition = peer.definition(type_set.types)
    chains = reference.chains(type_set.types)
    engine = Definitions(type_set.types).decode(buffer, errors="skip") if Definitions else None
    rows = {}
    if engine is not None:
        for name, table in engine.tables.items():
            for row, index in enumerate(table.index):
                rows[int(index)] = name, {c: v[row] for c, v in table.columns.items()}
    for index, (offset, length) in enumerate(spans):
        packet = buffer[offset:offset + length]
        try:
            name, values, _, _ = reference.unpack(chains, packet)
        except reference.Refusal:
            continue
        try:
            theirs = peer_values(definition, packet)
        except UnicodeDecodeError:  # windows-1252's five unassigned bytes: Python refuses them, we map them through
            assert "windows_1252" in {e.encoding for e in chains[name].entries}
            continue
        entries = {e.name: e for e in chains[name].entries}
        assert list(theirs) == list(values)
        for field, value in values.items():
            assert agrees(entries[field], value, theirs[field]), (field, value, theirs[field], type_set.types)
        if engine is not None:
            assert rows[index][0] == name
            for field, value in rows[index][1].items():
                assert agrees(entries[field], value.item() if isinstance(value, np.generic) else value, theirs[field])


@pytest.mark.parametrize("order", [0, 1])
def test_spline_pieces_equal_the_peers(order):
    """Every raw value of an 8-bit field through a spline with points
    between and beyond its ends (the peer's lookup cannot take its last point)."""
    from fieldloom_batch.definitions.model import Entry, PacketType, Spline, ccsds_primary_header
    points = ((-3, 1.5), (10, -2.25), (11, 7.0), (100, 0.1), (300, 1e3))
    entry = Entry("value", bits=8, calibration=Spline(points, order, extrapolate=True))
    types = [PacketType("root", ccsds_primary_header() + (entry,))]
    definition, chains = peer.definition(types), reference.chains(types)
    for raw in range(256):
        packet = bytes([0, 1, 0, 0, 0, 0, raw])
        ours = reference.unpack(chains, packet)[1]["value"]
        assert agrees(entry, ours, peer_values(definition, packet)["value"]), raw
