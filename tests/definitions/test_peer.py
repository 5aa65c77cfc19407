"""Differential tests against space_packet_parser on packet types and
recordings generated here: the reference, and the engine, give the peer's values."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings

import peer
import reference
import strategies

from fieldloom_batch.definitions import Definitions, Polynomial

DECODES = hasattr(Definitions, "decode")  # until the engine decodes, the reference alone meets the peer

CASES = strategies.type_sets(peer=True).flatmap(lambda ts: strategies.recordings(ts).map(lambda r: (ts, r)))


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(CASES)
def test_values_equal_the_peers(case):
    type_set, (buffer, spans) = case
    definition = peer.definition(type_set.types)
    chains = reference.chains(type_set.types)
    engine = Definitions(type_set.types).decode(buffer, errors="skip") if DECODES else None
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
            theirs = peer.parse(definition, packet)
        except UnicodeDecodeError:  # windows-1252's five unassigned bytes: Python refuses them, we map them through
            assert "windows_1252" in {e.encoding for e in chains[name].entries}
            continue
        except OverflowError:  # its polynomials take x ** n in Python floats, which raise where Horner's rule gives inf
            assert any(isinstance(e.calibration, Polynomial) for e in chains[name].entries)
            continue
        entries = {e.name: e for e in chains[name].entries}
        assert list(theirs) == list(values)
        for field, value in values.items():
            assert peer.agrees(entries[field], value, theirs[field]), (field, value, theirs[field], type_set.types)
        if engine is not None:
            assert rows[index][0] == name
            for field, value in rows[index][1].items():
                assert peer.agrees(entries[field], value.item() if isinstance(value, np.generic) else value, theirs[field])


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
        assert peer.agrees(entry, ours, peer.parse(definition, packet)["value"]), raw
