"""Shared plumbing of the fuzz harnesses.

A harness is a function that takes one input (bytes), turns it into a call
through `Input`, and raises AssertionError when the module answers in a way
it must not (a wrong exception class, an internal fault, a result of the
wrong shape). Crashes and memory errors stop the process by themselves under
the sanitizer build.

Two ways to drive a harness:

* atheris (coverage-guided, libFuzzer): `python fuzz/fuzz_unpack.py [libFuzzer
  options] [corpus dirs]`; see fuzz/README.md for the instrumented build.
* a plain random loop that needs nothing but the module: `python
  fuzz/fuzz_unpack.py --plain --runs 20000 --seed 1`. It replays the corpus
  first, then mutates corpus inputs and random bytes with a fixed seed, so a
  run is repeatable.
"""
import os
import random
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))


class Input:
    """Reads choices out of fuzz bytes; an exhausted input reads zeros."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def remaining(self):
        return len(self.data) - self.pos

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        value = self.data[self.pos]
        self.pos += 1
        return value

    def uint(self, size):
        value = 0
        for _ in range(size):
            value = (value << 8) | self.byte()
        return value

    def chance(self, per_256):
        return self.byte() < per_256

    def pick(self, options):
        return options[self.byte() % len(options)]

    def take(self, count):
        chunk = self.data[self.pos:self.pos + count]
        self.pos += len(chunk)
        return chunk

    def rest(self):
        return self.take(self.remaining())

    def text(self, max_chars):
        """Text of any code points, lone surrogates included."""
        out = []
        for _ in range(self.byte() % (max_chars + 1)):
            kind = self.byte() % 8
            if kind < 3:
                out.append(chr(0x20 + self.byte() % 0x5F))
            elif kind == 3:
                out.append(chr(0x80 + self.byte()))
            elif kind == 4:
                out.append(chr(self.pick([0x20AC, 0x0152, 0x2122, 0x0178, 0xFEFF, 0xFFFD, 0x0100])))
            elif kind == 5:
                out.append(chr(self.uint(2)))
            elif kind == 6:
                out.append(chr(0x10000 + self.uint(3) % 0x100000))
            else:
                out.append(chr(0xD800 + self.uint(2) % 0x800))
        return "".join(out)


INTERESTING_U64 = [0, 1, 7, 8, 9, 15, 16, 63, 64, 65, 127, 128, 255, 256, 2**31, 2**32 - 1, 2**32,
                   2**63 - 1, 2**63, 2**64 - 8, 2**64 - 1]


def interesting_int(src):
    """An int around the edges of the 32- and 64-bit conversions."""
    kind = src.byte() % 6
    if kind == 0:
        return src.pick(INTERESTING_U64)
    if kind == 1:
        return -src.pick(INTERESTING_U64)
    if kind == 2:
        return src.byte()
    if kind == 3:
        return src.uint(8)
    if kind == 4:
        return src.uint(8) - 2**63
    return src.pick([2**64, -2**64, 2**128, 10**30, -1])


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(5)
        if op == 0 and data:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif op == 1 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif op == 2:
            at = rng.randint(0, len(data))
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        elif op == 3 and data:
            at = rng.randrange(len(data))
            del data[at:at + rng.randint(1, 8)]
        else:
            data[rng.randrange(len(data) + 1):] = b""
    return bytes(data)


def corpus_inputs(name):
    folder = os.path.join(HERE, "corpus", name)
    if not os.path.isdir(folder):
        return []
    out = []
    for entry in sorted(os.listdir(folder)):
        with open(os.path.join(folder, entry), "rb") as handle:
            out.append(handle.read())
    return out


def run_plain(name, harness, runs, seed, max_len=512):
    rng = random.Random(seed)
    pool = corpus_inputs(name) or [b""]
    start = time.perf_counter()
    executed = 0

    def one(data):
        nonlocal executed
        executed += 1
        try:
            harness(data)
        except BaseException:
            sys.stderr.write("failing input: %r\n" % (data,))
            raise

    for data in list(pool):
        one(data)
    while executed < runs:
        if rng.random() < 0.7:
            data = mutate(rng, rng.choice(pool))[:max_len]
        else:
            data = bytes(rng.randrange(256) for _ in range(rng.randint(0, 96)))
        one(data)
    elapsed = time.perf_counter() - start
    print("%s: %d executions in %.1f s (seed %d)" % (name, executed, elapsed, seed))
    return executed, elapsed


def main(name, harness, argv=None, calls=None):
    """`calls`: a one-item list the harness counts its calls of the target in,
    for harnesses where one input drives several; reported as the run goes."""
    argv = list(sys.argv if argv is None else argv)
    if "--plain" in argv:
        runs = int(argv[argv.index("--runs") + 1]) if "--runs" in argv else 20000
        seed = int(argv[argv.index("--seed") + 1]) if "--seed" in argv else 1
        run_plain(name, harness, runs, seed)
        if calls is not None:
            print("%s: %d calls" % (name, calls[0]))
        return
    import atheris  # pylint: disable=import-outside-toplevel

    inputs = [0]
    start = time.perf_counter()

    def target(data):
        inputs[0] += 1
        if calls is not None and inputs[0] % 100000 == 0:
            sys.stderr.write("CALLS %s: %d calls from %d inputs in %.0f s\n"
                             % (name, calls[0], inputs[0], time.perf_counter() - start))
        try:
            harness(data)
        except AssertionError:
            traceback.print_exc()
            raise

    atheris.Setup(argv, target)
    atheris.Fuzz()
