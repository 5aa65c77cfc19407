"""Random packet types written as XTCE and loaded back decode random
recordings exactly as the plain-Python reference decodes the types they
came from."""
from __future__ import annotations

import dataclasses
import os

from hypothesis import HealthCheck, assume, given, settings

import reference
import strategies
from fieldloom_batch.definitions import Definitions
from fieldloom_batch.definitions.model import CDS, CUC, Entry, Enumeration, PacketType, Time, ToEnd
from fieldloom_batch.loaders import read_xtce, write_xtce
from test_properties import check_decoded

CASES = strategies.type_sets().flatmap(lambda ts: strategies.recordings(ts).map(lambda r: (ts, r)))
UNSIGNED_BCD = {"packed_bcd_signed": "packed_bcd", "unpacked_bcd_signed": "unpacked_bcd"}


def expressible(entry: Entry) -> Entry:
    """The nearest entry XTCE can say, of the same bits: no label for every
    other code, no signed BCD, CUC as the count of its fraction's steps."""
    calibration = entry.calibration
    if isinstance(calibration, Enumeration) and calibration.other is not None:
        calibration = Enumeration(calibration.labels)
    elif isinstance(calibration, CUC):
        calibration = Time(calibration.epoch, scale=2.0 ** (-8 * calibration.fine))
    elif isinstance(calibration, CDS):
        calibration = None
    return dataclasses.replace(entry, encoding=UNSIGNED_BCD.get(entry.encoding, entry.encoding),
                               calibration=calibration)


# Most of the time goes to Python (XML written and parsed); the decoding it
# reaches is what the definitions tests run in full in the sanitizer stage.
EXAMPLES = 12 if os.environ.get("FIELDLOOM_SANITIZER") else 60


@settings(max_examples=EXAMPLES, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(CASES)
def test_loaded_documents_decode_as_the_reference(case):
    type_set, (buffer, _) = case
    types = [dataclasses.replace(t, entries=tuple(map(expressible, t.entries))) for t in type_set.types]
    assume(not any(isinstance(e.bits, ToEnd) for t in types for e in t.entries))
    loaded = read_xtce(write_xtce(types))
    check_decoded(types, Definitions(loaded).decode(buffer, errors="skip"), reference.decode(types, buffer))
