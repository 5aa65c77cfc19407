"""Throughput of the text codecs against the interpreter's own codecs.

Prints, for each codec, direction, size and kind of text, the time per call
of both and the ratio interpreter time / fieldloom time (above 1: faster).

    PYTHONPATH=build python benchmarks/bench_text.py [--quick] [--only NAME]
"""

import argparse
import timeit

import fieldloom as fl

SIZES = {"64 B": 64, "4 KiB": 4096, "1 MiB": 1 << 20}

# Mixed samples valid in each codec: what the codec can carry beyond ASCII.
MIXED = {
    "unicode": "Grüße, 東京 ☃ — naïve café 😀 ",
    "latin1": "Grüße, naïve café ½ ÿ ",
    "ascii": "Hello, world! 0123456789 ~{}[] ",
    "cp1252": "Grüße — naïve café € “quoted” ",
}
ASCII_SAMPLE = "The quick brown fox jumps over the lazy dog. "

# name: (fieldloom suffix, interpreter codec, repertoire of the mixed sample)
CODECS = [
    ("utf8", "utf-8", "unicode"),
    ("utf16le", "utf-16-le", "unicode"),
    ("utf16be", "utf-16-be", "unicode"),
    ("utf32le", "utf-32-le", "unicode"),
    ("utf32be", "utf-32-be", "unicode"),
    ("iso_8859_1", "latin-1", "latin1"),
    ("us_ascii", "ascii", "ascii"),
    ("windows_1252", "cp1252", "cp1252"),
]


def sample(pattern, codec, size):
    """Text whose encoded form is close to `size` bytes."""
    unit = len(pattern.encode(codec))
    text = pattern * (size // unit + 1)
    while len(text.encode(codec)) > size and len(text) > 1:
        text = text[:-1]
    # Do not end on half of nothing: codec-valid by construction.
    return text


def best_per_call(fn, arg, budget=0.2):
    timer = timeit.Timer(lambda: fn(arg))
    number, _ = timer.autorange()
    number = max(1, int(number * budget / 0.2))
    return min(timer.repeat(repeat=5, number=number)) / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shorter timing runs")
    parser.add_argument("--only", help="run only this codec suffix")
    args = parser.parse_args()
    budget = 0.05 if args.quick else 0.2

    print(f"{'codec':<14}{'dir':<5}{'size':<7}{'text':<7}{'python':>11}{'fieldloom':>11}{'ratio':>8}")
    worst = {}
    for suffix, codec, repertoire in CODECS:
        if args.only and suffix != args.only:
            continue
        decode, encode = getattr(fl, "decode_" + suffix), getattr(fl, "encode_" + suffix)
        for size_name, size in SIZES.items():
            for kind, pattern in (("ascii", ASCII_SAMPLE), ("mixed", MIXED[repertoire])):
                text = sample(pattern, codec, size)
                data = text.encode(codec)
                assert decode(data) == text and encode(text) == data
                rows = [
                    ("dec", lambda b, c=codec: b.decode(c), decode, data),
                    ("enc", lambda t, c=codec: t.encode(c), encode, text),
                ]
                for direction, theirs, ours, arg in rows:
                    t_py = best_per_call(theirs, arg, budget)
                    t_fl = best_per_call(ours, arg, budget)
                    ratio = t_py / t_fl
                    key = (suffix, direction)
                    worst[key] = min(worst.get(key, ratio), ratio)
                    print(f"{suffix:<14}{direction:<5}{size_name:<7}{kind:<7}"
                          f"{t_py * 1e6:>9.3f}us{t_fl * 1e6:>9.3f}us{ratio:>8.2f}")
    print("\nworst ratio per codec and direction:")
    for (suffix, direction), ratio in worst.items():
        print(f"  {suffix:<14}{direction:<5}{ratio:6.2f}")


if __name__ == "__main__":
    main()
