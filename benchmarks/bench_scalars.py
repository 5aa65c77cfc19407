"""Scalar codec speed against the interpreter's own equivalents, as ratios.

Run:  pip install . && python benchmarks/bench_scalars.py
"""
from __future__ import annotations

import operator
import struct
import timeit

import fieldloom


def compare(title: str, ours, peer, peer_name: str, number: int = 100_000) -> tuple[str, str, float, float]:
    """Best time per call of both, timed in alternation so that load from
    elsewhere on the machine hurts both alike."""
    timers = [timeit.Timer(ours), timeit.Timer(peer)]
    best = [float("inf")] * 2
    for timer in timers:
        timer.timeit(number // 10)  # warm-up
    for _ in range(9):
        for k, timer in enumerate(timers):
            best[k] = min(best[k], timer.timeit(number) / number)
    t_ours, t_peer = best
    print(f"  {title:<44} {t_ours * 1e9:7.1f} ns   {peer_name:<34} {t_peer * 1e9:7.1f} ns   peer/fieldloom {t_peer / t_ours:5.2f}")
    return title, peer_name, t_ours, t_peer


def main() -> list[tuple[str, str, float, float]]:
    rows = []
    half, half_bytes = 0x3C01, struct.pack(">H", 0x3C01)
    assert fieldloom.decode_ieee754_f16(half) == struct.unpack(">e", half_bytes)[0]
    assert fieldloom.encode_ieee754_f32(0.1).to_bytes(4, "big") == struct.pack(">f", 0.1)
    # The call floor: a two-int C builtin whose result is a new int, as the codecs' is.
    v, floor = 0x8AB, "operator.and_(0x8AB, 0xFFF)"
    assert operator.and_(v, 0xFFF) not in range(-5, 257)
    print("Call floor")
    for title, call in [
        ("decode_twos_complement(0x8AB, 12)", lambda: fieldloom.decode_twos_complement(v, 12)),
        ("encode_twos_complement(-1877, 12)", lambda: fieldloom.encode_twos_complement(-1877, 12)),
        ("decode_sign_magnitude(0x8AB, 12)", lambda: fieldloom.decode_sign_magnitude(v, 12)),
        ("decode_packed_bcd(0x1234, 16)", lambda: fieldloom.decode_packed_bcd(0x1234, 16)),
        ("encode_packed_bcd(1234, 16)", lambda: fieldloom.encode_packed_bcd(1234, 16)),
        ("decode_ieee754_f32(0x3F800001)", lambda: fieldloom.decode_ieee754_f32(0x3F800001)),
        ("encode_ieee754_f64(0.1)", lambda: fieldloom.encode_ieee754_f64(0.1)),
    ]:
        rows.append(compare(title, call, lambda: operator.and_(v, 0xFFF), floor))
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
