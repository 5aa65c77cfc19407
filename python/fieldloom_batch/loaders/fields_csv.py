"""CSV field lists, as ccsdspy reads them: one packet type per file, its
fields after the six-byte CCSDS primary header, big-endian.

    name,data_type,bit_length              fields one after another
    name,data_type,bit_length,bit_offset   each at its offset from the packet's start

Data types: uint, int (two's complement), float (IEEE 754 of 16, 32 or 64
bits), str (text of whole bytes, every byte one ISO-8859-1 character, so no
byte fails) and fill (bits nobody reads: the next field starts after them).
A data type written ``uint(4)`` is an array of 4 such elements.
"""
from __future__ import annotations

import csv
import io
import re
from pathlib import Path

from fieldloom_batch.definitions.definitions import Definitions
from fieldloom_batch.definitions.model import Comparison, DefinitionError, Entry, PacketType, ccsds_primary_header
from fieldloom_batch.loaders.xml_tree import DocumentError

HEADER_BITS = 48
HEADER_TYPE = "CCSDSPacket"
ENCODINGS = {"uint": "unsigned", "int": "twos_complement", "str": "iso_8859_1"}
FLOATS = {16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64"}
ARRAY = re.compile(r"(\w+)\((\d+)\)")


def read_fields_csv(document: str | Path | bytes, *, apid: int, name: str | None = None) -> list[PacketType]:
    """The packet types a CSV field list describes: the abstract
    'CCSDSPacket' of the primary header's entries, and the list's own type
    extending it for the packets whose APID is `apid`, named `name` (by
    default the file's name without its suffix). Lists of several APIDs
    share the first list's 'CCSDSPacket'::

        types = read_fields_csv("hk.csv", apid=1) + read_fields_csv("sci.csv", apid=2)[1:]
    """
    if isinstance(document, bytes):
        source, text = "<fields>", document.decode("utf-8-sig")
    else:
        source, text = str(document), Path(document).read_text(encoding="utf-8-sig")
    if isinstance(apid, bool) or not isinstance(apid, int) or not 0 <= apid < 2048:
        raise DefinitionError(f"{source}: the APID is an int from 0 to 2047, not {apid!r}")
    reader = csv.DictReader(io.StringIO(text), skipinitialspace=True)
    columns = [column.strip() for column in reader.fieldnames or ()]
    if not {"name", "data_type", "bit_length"} <= set(columns):
        raise DocumentError(f"the columns are {columns}; a field list has name, data_type, bit_length and "
                            "optionally bit_offset", source=source, line=1)
    reader.fieldnames = columns
    header = ccsds_primary_header()
    taken = {entry.name for entry in header}
    entries: list[Entry] = []
    gap = 0
    for row in reader:
        def fail(message: str) -> DocumentError:
            return DocumentError(message, source=source, line=reader.line_num)

        field = (row.get("name") or "").strip()
        kind = (row.get("data_type") or "").strip()
        count = None
        if match := ARRAY.fullmatch(kind):
            kind, count = match[1], int(match[2])
        try:
            bits = int(row.get("bit_length") or "")
            offset = int(row["bit_offset"]) if "bit_offset" in columns else None
        except ValueError:
            raise fail("bit_length and bit_offset are whole numbers of bits") from None
        if kind == "fill":
            gap += bits * (count or 1)
            continue
        if kind not in ENCODINGS and kind != "float":
            raise fail(f"data type {kind!r} is none of uint, int, float, str, fill")
        if field in taken:
            raise fail(f"the field {field!r} is named a second time, or like a primary header field")
        taken.add(field)
        encoding = FLOATS.get(bits, "") if kind == "float" else ENCODINGS[kind]
        if not encoding:
            raise fail(f"a float is 16, 32 or 64 bits, not {bits}")
        if offset is not None and offset < HEADER_BITS:
            raise fail(f"field {field!r} at bit {offset} lies in the primary header (bits 0 to 47)")
        place: dict[str, object] = ({"offset": offset} if offset is not None
                                    else {"offset": gap, "relative_to": "previous"} if gap else {})
        gap = 0
        try:
            entries.append(Entry(field, encoding, bits, count=count, **place))  # type: ignore[arg-type]
        except DefinitionError as error:
            raise fail(str(error)) from None
    type_name = name if name is not None else Path(source).stem if source != "<fields>" else "fields"
    return [PacketType(HEADER_TYPE, header, abstract=True),
            PacketType(type_name, tuple(entries), (Comparison("apid", "==", apid),), HEADER_TYPE)]


def load_fields_csv(document: str | Path | bytes, *, apid: int, name: str | None = None) -> Definitions:
    """A CSV field list as `Definitions`, ready to decode recordings."""
    return Definitions(read_fields_csv(document, apid=apid, name=name))
