"""Definitions.pack on the random packet types of the property tests (bases,
conditions, calibrations, bit-packed entries): every table of a fixed layout
packs its decoded raw values into packets that decode to the same values."""
import numpy as np
from hypothesis import HealthCheck, given, settings

import strategies
from fieldloom_batch.definitions import Definitions

CASES = strategies.type_sets().flatmap(lambda ts: strategies.recordings(ts).map(lambda r: (ts, r)))


@settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(CASES)
def test_decoded_tables_pack_into_packets_of_the_same_values(case):
    type_set, (recording, _) = case
    definitions = Definitions(type_set.types)
    decoded = definitions.decode(recording, errors="skip")
    for name, table in decoded.tables.items():
        entries = [placed.entry for placed in definitions.chains[name].entries]
        # utf16 and utf32 text is packed after a byte order mark, as pack_parameters packs it.
        if not definitions.chains[name].fixed or len(table.index) == 0 or \
                any(entry.encoding in ("utf16", "utf32") for entry in entries):
            continue
        raw = {**table.columns, **table.raw}
        try:
            packets = definitions.pack(name, raw, raw=True)
        except ValueError as error:
            if "bits must be" in str(error):
                continue  # a width that decodes but pack_parameters' encoder refuses (1-bit sign-magnitude)
            raise
        again = definitions.decode(packets, stride=len(packets) // len(table.index)).tables[name]
        assert again.index.tolist() == list(range(len(table.index)))
        for column, values in raw.items():
            got = {**again.columns, **again.raw}[column]
            if values.dtype == object:  # text and binary
                assert got.tolist() == values.tolist(), column
            else:  # floats bit for bit, NaN payloads included
                assert got.dtype == values.dtype and got.tobytes() == values.tobytes(), column
        assert definitions.pack(name, {**again.columns, **again.raw}, raw=True) == packets
