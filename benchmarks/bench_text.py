"""Throughput of the text codecs against the interpreter's own codecs.

Prints, for each codec, direction, size and kind of text, the time per call
of both and the ratio interpreter time / fieldloom time (above 1: faster),
then the worst ratio per codec and direction against its target and the
1 MiB figures of mixed text. Both sides are timed in one interleaved loop of
many short runs and the best run of each is kept (see timing.py).

    PYTHONPATH=build python benchmarks/bench_text.py [--quick] [--only NAME] [--rounds N]
"""

import argparse
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))  # timing.py beside this file

import fieldloom as fl  # noqa: E402
from timing import interleaved_best  # noqa: E402

SIZES = {"64 B": 64, "4 KiB": 4096, "1 MiB": 1 << 20}

# Mixed samples valid in each codec: what the codec can carry beyond ASCII.
MIXED = {
    "unicode": "Grüße, 東京 ☃ — naïve café 😀 ",
    "latin1": "Grüße, naïve café ½ ÿ ",
    "ascii": "Hello, world! 0123456789 ~{}[] ",
    "cp1252": "Grüße — naïve café € “quoted” ",
}
ASCII_SAMPLE = "The quick brown fox jumps over the lazy dog. "

# name: (fieldloom suffix, interpreter codec, repertoire of the mixed sample,
# lowest acceptable ratio)
CODECS = [
    ("utf8", "utf-8", "unicode", 1.0),
    ("utf16le", "utf-16-le", "unicode", 1.0),
    ("utf16be", "utf-16-be", "unicode", 1.0),
    ("utf32le", "utf-32-le", "unicode", 1.0),
    ("utf32be", "utf-32-be", "unicode", 1.0),
    ("iso_8859_1", "latin-1", "latin1", 1.0),
    ("us_ascii", "ascii", "ascii", 1.0),
    ("windows_1252", "cp1252", "cp1252", 1.0),
]


def sample(pattern, codec, size):
    """Text whose encoded form is close to `size` bytes."""
    unit = len(pattern.encode(codec))
    text = pattern * (size // unit + 1)
    while len(text.encode(codec)) > size and len(text) > 1:
        text = text[:-1]
    # Do not end on half of nothing: codec-valid by construction.
    return text


def copies(arg, count):
    """`count` equal objects at different addresses (the first is `arg`)."""
    half = len(arg) // 2
    return [arg] + [arg[:half] + arg[half:] if half else type(arg)(arg) for _ in range(count - 1)]


def best_per_call(codec, method, ours, arg, seconds, repeats, objects=5):
    """Best time per call of the interpreter's `arg.<method>(codec)` and of
    fieldloom's `ours(arg)`, each written as a caller writes it (no wrapper
    around either), in runs of about `seconds`, interleaved. Where a text
    and the buffers made from it lie can hold either side well above its
    usual time for a whole process, so both are timed on several equal
    texts and keep their best."""
    timers = []
    for copy in copies(arg, objects):
        names = {"arg": copy, "codec": codec, "ours": ours}
        timers += [timeit.Timer(f"arg.{method}(codec)", globals=names), timeit.Timer("ours(arg)", globals=names)]
    best = interleaved_best(timers, seconds, repeats)
    return min(best[0::2]), min(best[1::2])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shorter timing runs")
    parser.add_argument("--only", help="run only this codec suffix")
    parser.add_argument("--rounds", type=int, default=None, help="timing rounds per case")
    args = parser.parse_args()
    seconds = 0.002 if args.quick else 0.005
    rounds = args.rounds or (9 if args.quick else 21)

    print(f"{'codec':<14}{'dir':<5}{'size':<7}{'text':<7}{'python':>11}{'fieldloom':>11}{'ratio':>8}")
    worst, targets, large_mixed = {}, {}, {}
    for suffix, codec, repertoire, target in CODECS:
        if args.only and suffix != args.only:
            continue
        decode, encode = getattr(fl, "decode_" + suffix), getattr(fl, "encode_" + suffix)
        for size_name, size in SIZES.items():
            for kind, pattern in (("ascii", ASCII_SAMPLE), ("mixed", MIXED[repertoire])):
                text = sample(pattern, codec, size)
                data = text.encode(codec)
                assert decode(data) == text and encode(text) == data
                rows = [("dec", "decode", decode, data), ("enc", "encode", encode, text)]
                for direction, method, ours, arg in rows:
                    t_py, t_fl = best_per_call(codec, method, ours, arg, seconds, rounds)
                    ratio = t_py / t_fl
                    key = (suffix, direction)
                    worst[key] = min(worst.get(key, ratio), ratio)
                    targets[key] = target
                    if size_name == "1 MiB" and kind == "mixed":
                        large_mixed[key] = ratio
                    print(f"{suffix:<14}{direction:<5}{size_name:<7}{kind:<7}"
                          f"{t_py * 1e6:>9.3f}us{t_fl * 1e6:>9.3f}us{ratio:>8.2f}")
    print("\nworst ratio per codec and direction (target; 1 MiB mixed):")
    for key, ratio in worst.items():
        suffix, direction = key
        flag = "" if ratio >= targets[key] else "  below target"
        print(f"  {suffix:<14}{direction:<5}{ratio:6.2f}  ({targets[key]:.1f}; {large_mixed[key]:5.2f}){flag}")


if __name__ == "__main__":
    main()
