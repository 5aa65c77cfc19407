"""Throughput of the text codecs against the interpreter's own codecs.

Prints, for each codec, direction, size and kind of text, the time per call
of both and the ratio interpreter time / fieldloom time (above 1: faster),
then the worst ratio per codec and direction against its target and the
1 MiB figures of mixed text. Both sides are timed in alternation and the
best of several rounds is kept, so that load from elsewhere on the machine
hurts both alike.

    PYTHONPATH=build python benchmarks/bench_text.py [--quick] [--only NAME] [--rounds N]
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


def best_per_call(codec, method, ours, arg, budget, rounds):
    """Best time per call of the interpreter's `arg.<method>(codec)` and of
    fieldloom's `ours(arg)`, each written as a caller writes it (no wrapper
    around either), timed in alternation."""
    names = {"arg": arg, "codec": codec, "ours": ours}
    timers = [timeit.Timer(f"arg.{method}(codec)", globals=names), timeit.Timer("ours(arg)", globals=names)]
    numbers = [max(1, int(t.autorange()[0] * budget / 0.2)) for t in timers]
    best = [float("inf")] * len(timers)
    for _ in range(rounds):
        for k, (timer, number) in enumerate(zip(timers, numbers)):
            best[k] = min(best[k], timer.timeit(number) / number)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="shorter timing runs")
    parser.add_argument("--only", help="run only this codec suffix")
    parser.add_argument("--rounds", type=int, default=None, help="timing rounds per case")
    args = parser.parse_args()
    budget = 0.05 if args.quick else 0.2
    rounds = args.rounds or (5 if args.quick else 9)

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
                    t_py, t_fl = best_per_call(codec, method, ours, arg, budget, rounds)
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
