"""Scalar codec speed against the interpreter's own equivalents, as ratios.

Run:  pip install . && python benchmarks/bench_scalars.py
"""
from __future__ import annotations

import struct
import timeit

import fieldloom


def best(stmt, number: int = 200_000) -> float:
    return min(timeit.repeat(stmt, number=number, repeat=7)) / number


def compare(title: str, ours, peer, peer_name: str) -> tuple[str, str, float, float]:
    t_ours, t_peer = best(ours), best(peer)
    print(f"  {title:<44} {t_ours * 1e9:7.1f} ns   {peer_name:<34} {t_peer * 1e9:7.1f} ns   peer/fieldloom {t_peer / t_ours:5.2f}")
    return title, peer_name, t_ours, t_peer


def main() -> list[tuple[str, str, float, float]]:
    rows = []
    half, half_bytes = 0x3C01, struct.pack(">H", 0x3C01)
    assert fieldloom.decode_ieee754_f16(half) == struct.unpack(">e", half_bytes)[0]
    assert fieldloom.encode_ieee754_f32(0.1).to_bytes(4, "big") == struct.pack(">f", 0.1)
    print("Scalar codecs")
    rows.append(compare("decode_ieee754_f16(int)", lambda: fieldloom.decode_ieee754_f16(half),
                        lambda: struct.unpack(">e", half_bytes), "struct.unpack('>e', bytes)"))
    rows.append(compare("encode_ieee754_f32(float)", lambda: fieldloom.encode_ieee754_f32(0.1),
                        lambda: struct.pack(">f", 0.1), "struct.pack('>f', float)"))

    recipe = [{"name": "count", "encoding": "packed_bcd", "bits": 32, "byte_order": "big", "reverse_bits": False}]
    packet = bytes.fromhex("12345678")
    assert fieldloom.unpack_parameters(packet, 0, recipe) == {"count": int(packet.hex())}
    rows.append(compare("packed BCD field via unpack_parameters", lambda: fieldloom.unpack_parameters(packet, 0, recipe),
                        lambda: {"count": int(packet[0:4].hex())}, "{'count': int(bytes.hex())}"))
    assert fieldloom.pack_parameters(recipe, {"count": 12345678}) == packet
    rows.append(compare("packed BCD field via pack_parameters", lambda: fieldloom.pack_parameters(recipe, {"count": 12345678}),
                        lambda: bytes.fromhex(f"{12345678:08d}"), "bytes.fromhex(f'{n:08d}')"))
    return rows


if __name__ == "__main__":
    main()
