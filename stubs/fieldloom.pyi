"""Type information for the fieldloom extension module.

Installed as the stub-only package ``fieldloom-stubs`` next to the extension,
so type checkers find it for the installed module.

Names other than the module's functions (``RecipeEntry``, ``Encoding``,
``PackEncoding``, ``ByteOrder``, ``FieldValue``) exist for type
checkers only: import them under ``typing.TYPE_CHECKING``.
"""

from collections.abc import Sequence
from typing import Any, Literal, NoReturn, NotRequired, SupportsFloat, SupportsIndex, TypeAlias, TypedDict

# The module's functions, in registration order.
__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

# --- recipes ---------------------------------------------------------------

#: Encoding names that ``pack_parameters`` accepts (and ``unpack_parameters``).
PackEncoding: TypeAlias = Literal[
    "unsigned",
    "twos_complement",
    "ones_complement",
    "sign_magnitude",
    "packed_bcd",
    "packed_bcd_signed",
    "unpacked_bcd",
    "unpacked_bcd_signed",
    "ieee754_f16",
    "ieee754_f32",
    "ieee754_f64",
    "utf8",
    "utf16",
    "utf16be",
    "utf16le",
    "utf32",
    "utf32be",
    "utf32le",
    "us_ascii",
    "iso_8859_1",
    "latin1",
    "windows_1252",
]

#: All 34 encoding names a recipe may hold. The twelve beyond ``PackEncoding``
#: are refused by ``pack_parameters``; ``unpack_parameters`` answers them with
#: 0.0 (``ieee754_f128`` up to 64 bits) or an error.
Encoding: TypeAlias = (
    PackEncoding
    | Literal[
        "ieee754_f128",
        "ieee754_1985_f32",
        "ieee754_1985_f64",
        "ieee754_1985_f80",
        "mil_std_1750a_f32",
        "mil_std_1750a_f48",
        "ti_f32",
        "ti_f40",
        "dec_f32",
        "dec_f64",
        "ibm_f32",
        "ibm_f64",
    ]
)

#: The runtime matches ``encoding`` and ``byte_order`` in any letter case;
#: the types name the lower-case spelling.
ByteOrder: TypeAlias = Literal["big", "little"]

class RecipeEntry(TypedDict):
    """One field of a packet. Keys other than these six are ignored."""

    name: str
    encoding: Encoding
    bits: int
    byte_order: ByteOrder
    reverse_bits: bool
    #: Absent: the field starts at the bit cursor (the end of the previous field).
    offset_bits: NotRequired[int]

#: What ``unpack_parameters`` stores per field: ``int`` for the integer and
#: BCD encodings, ``float`` for the IEEE 754 ones, ``str`` for text.
FieldValue: TypeAlias = int | float | str

def unpack_parameters(
    packet_bytes: bytes, offset_bits: SupportsIndex, recipe: Sequence[RecipeEntry]
) -> dict[str, FieldValue]: ...

# ``values`` must be a dict (or subclass). What each value may be depends on its
# field's encoding: an int (or ``__index__``) for the integer and BCD encodings,
# anything ``float()`` accepts numerically for IEEE 754, a str for text. A dict
# holds mixed values, so they are typed Any rather than a union that an
# inferred ``dict[str, int]`` would not match (dict is invariant).
def pack_parameters(recipe: Sequence[RecipeEntry], values: dict[str, Any]) -> bytes: ...

# --- decoders: raw field bits (right-aligned in an int) to a value -----------

def decode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def decode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def decode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def decode_ieee754_f16(value: SupportsIndex) -> float: ...
def decode_ieee754_f32(value: SupportsIndex) -> float: ...
def decode_ieee754_f64(value: SupportsIndex) -> float: ...
def decode_ieee754_f128(value: SupportsIndex) -> float: ...

# Families without a codec: the argument is checked, then NotImplementedError.
def decode_ieee754_1985_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ieee754_1985_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ieee754_1985_f80(_value: SupportsIndex) -> NoReturn: ...
def decode_mil_std_1750a_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_mil_std_1750a_f48(_value: SupportsIndex) -> NoReturn: ...
def decode_dec_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_dec_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ibm_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ibm_f64(_value: SupportsIndex) -> NoReturn: ...
def decode_ti_f32(_value: SupportsIndex) -> NoReturn: ...
def decode_ti_f40(_value: SupportsIndex) -> NoReturn: ...

# Text decoders take exactly bytes (or a subclass), not bytearray or memoryview.
def decode_us_ascii(bytes: bytes) -> str: ...
def decode_iso_8859_1(bytes: bytes) -> str: ...
def decode_windows_1252(bytes: bytes) -> str: ...
def decode_utf8(bytes: bytes) -> str: ...
def decode_utf16(bytes: bytes) -> str: ...
def decode_utf16le(bytes: bytes) -> str: ...
def decode_utf16be(bytes: bytes) -> str: ...
def decode_utf32(bytes: bytes) -> str: ...
def decode_utf32le(bytes: bytes) -> str: ...
def decode_utf32be(bytes: bytes) -> str: ...

# --- encoders: a value to raw field bits (a non-negative int) or bytes -------

def encode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int: ...
def encode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def encode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int: ...
def encode_ieee754_f16(value: SupportsFloat | SupportsIndex) -> int: ...
def encode_ieee754_f32(value: SupportsFloat | SupportsIndex) -> int: ...
def encode_ieee754_f64(value: SupportsFloat | SupportsIndex) -> int: ...
def encode_ieee754_f128(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ieee754_1985_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ieee754_1985_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ieee754_1985_f80(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_mil_std_1750a_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_mil_std_1750a_f48(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_dec_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_dec_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ibm_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ibm_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ti_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...
def encode_ti_f40(_value: SupportsFloat | SupportsIndex) -> NoReturn: ...

# Text encoders take a str; one holding a lone surrogate raises UnicodeEncodeError.
def encode_us_ascii(text: str) -> bytes: ...
def encode_iso_8859_1(text: str) -> bytes: ...
def encode_windows_1252(text: str) -> bytes: ...
def encode_utf8(text: str) -> bytes: ...
def encode_utf16(text: str) -> bytes: ...
def encode_utf16le(text: str) -> bytes: ...
def encode_utf16be(text: str) -> bytes: ...
def encode_utf32(text: str) -> bytes: ...
def encode_utf32le(text: str) -> bytes: ...
def encode_utf32be(text: str) -> bytes: ...
