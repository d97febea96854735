"""Times the look-ups (`find`, `find_all`, `extract`) and `keygrip` on a
corpus of 2,000 keys shaped as GnuPG keeps them, beside reading the same keys.

    python bench/values.py [--keys 2000] [--repeat 15]

The keys come from a fixed seed: a third RSA-3072 private keys (n e d p q u),
a third protected Ed25519 keys (q, then the opaque protected part), a third
RSA public keys nested one level deeper, inside `(key-data ...)`. Each row is
the median of the timed passes over the whole corpus, with the collector
run before each pass, as bench/timing.py does.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import time

import parvex
from parvex.gnupg import keygrip


def corpus(count: int, seed: int = 9804) -> list[parvex.Value]:
    rng = random.Random(seed)

    def octets(n: int, top: bool = False) -> bytes:
        data = rng.randbytes(n)
        return b"\x00" + data if top and data[0] & 0x80 else data

    keys: list[parvex.Value] = []
    for i in range(count):
        if i % 3 == 0:
            rsa = [b"rsa", [b"n", octets(384, True)], [b"e", b"\x01\x00\x01"]] + [
                [name, octets(size, True)]
                for name, size in ((b"d", 384), (b"p", 192), (b"q", 192), (b"u", 192))]
            keys.append([b"private-key", rsa])
        elif i % 3 == 1:
            keys.append([b"protected-private-key", [
                b"ecc", [b"curve", b"Ed25519"], [b"flags", b"eddsa"],
                [b"q", b"\x40" + octets(32)],
                [b"protected", b"openpgp-s2k3-ocb-aes",
                 [[b"sha1", octets(8), b"65011712"], octets(12)], octets(80)],
                [b"protected-at", b"20250101T000000"]]])
        else:
            keys.append([b"key-data", [b"public-key", [
                b"rsa", [b"n", octets(384, True)], [b"e", b"\x01\x00\x01"]]]])
    # What parsing gives: every key read back from its canonical octets.
    return [parvex.parse(parvex.to_canonical(k)) for k in keys]


def median_ms(call, repeat: int) -> float:
    import gc

    samples = []
    call()  # warm
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter_ns()
        call()
        samples.append(time.perf_counter_ns() - t0)
    return statistics.median(samples) / 1e6


def main() -> None:
    cli = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    cli.add_argument("--keys", type=int, default=2000)
    cli.add_argument("--repeat", type=int, default=15)
    args = cli.parse_args()
    keys = corpus(args.keys)
    texts = [parvex.to_canonical(k) for k in keys]
    rsa = [k for k in keys if parvex.find(k, "rsa") is not None]
    find, find_all, extract, to_int = (parvex.find, parvex.find_all, parvex.extract,
                                       parvex.to_int)
    rows = [
        ("parse_canonical, each key (for scale)",
         lambda: [parvex.parse_canonical(t) for t in texts]),
        ('find(key, "n"): found early, or after the ECC part',
         lambda: [find(k, "n") for k in keys]),
        ('find(key, "absent"): every list visited',
         lambda: [find(k, "absent") for k in keys]),
        ('list(find_all(key, "q"))',
         lambda: [list(find_all(k, "q")) for k in keys]),
        ('extract(key, "n?", "e?", "q?"): three look-ups',
         lambda: [extract(k, "n?", "e?", "q?") for k in keys]),
        ('extract(key, "n", "e", path=("rsa",), convert=to_int), RSA keys',
         lambda: [extract(k, "n", "e", path=("rsa",), convert=to_int) for k in rsa]),
        ("keygrip(key), private or protected keys",
         lambda: [keygrip(k) for k in keys if k[0] != b"key-data"]),
    ]
    print(f"{len(keys)} keys ({len(rsa)} RSA); load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{'row (all keys, median of --repeat passes)':78} {'ms':>8} {'µs/key':>8}")
    for name, call in rows:
        ms = median_ms(call, args.repeat)
        print(f"{name:78} {ms:8.2f} {1000 * ms / len(keys):8.2f}")
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
