"""A stream fed to a `Decoder` whole, in 1 KiB pieces and an octet at a time,
at several sizes, so that it shows whether the time is linear in the total.

    python bench/feed.py [--sizes 1,10,100] [--octet-sizes 1,10,100] [--repeat 3]

The stream is a block of about 1 MB repeated: the records of the `records`
workload (lists of 12 or 13 short atoms), each as its own S-expression in
canonical form and then again in advanced form on a line of its own. Each
piece is a `bytes` slice of the stream, as a socket's `recv` gives them;
after each `feed` the values complete so far are taken by iterating the
decoder, and the stream ends with `close()`. "loop alone" is the same loop of
slices with no decoder: what of the time is the harness's.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time

import machine
import parvex
import workloads

PIECES = {"whole": None, "1 KiB": 1024, "1 octet": 1}


def block(size: int = 1_000_000) -> tuple[bytes, int]:
    """About `size` octets of records, and how many S-expressions they are."""
    out, total, count = [], 0, 0
    for record in workloads.build("records", scale=0.5).value:
        for data in (parvex.to_canonical(record), parvex.to_advanced(record).encode() + b"\n"):
            out.append(data)
            total += len(data)
            count += 1
        if total >= size:
            return b"".join(out), count
    raise AssertionError("the records workload is smaller than a block")


def feed(stream: bytes, piece: int | None) -> int:
    """Feeds `stream` in pieces of `piece` octets (all at once for None);
    returns the number of values it gave."""
    decoder, count = parvex.Decoder(), 0
    if piece is None:
        decoder.feed(stream)
        for _ in decoder:
            count += 1
    else:
        for at in range(0, len(stream), piece):
            decoder.feed(stream[at:at + piece])
            for _ in decoder:
                count += 1
    decoder.close()
    for _ in decoder:
        count += 1
    return count


def loop_alone(stream: bytes, piece: int) -> int:
    for at in range(0, len(stream), piece):
        stream[at:at + piece]
    return 0


def timed(call, stream: bytes, piece: int | None, repeat: int) -> tuple[float, int]:
    """The median time of `repeat` calls, and what the last returned."""
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = call(stream, piece)
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1,10,100", help="blocks of about 1 MB, for whole and 1 KiB")
    parser.add_argument("--octet-sizes", default="1,10,100", help="the same, an octet at a time")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each row under 10 MB (median)")
    args = parser.parse_args()
    one, per_block = block()
    for line in machine.describe():
        print(line)
    print(f"block: {len(one):,} octets, {per_block:,} S-expressions (records, canonical and advanced)")
    print(f"{'piece':<8} {'MB':>7} {'seconds':>9} {'MB/s':>8} {'loop alone s':>13}  runs")
    for name, piece in PIECES.items():
        sizes = args.octet_sizes if piece == 1 else args.sizes
        for blocks in map(int, sizes.split(",")):
            stream = one * blocks
            repeat = args.repeat if blocks < 10 else 1
            seconds, count = timed(feed, stream, piece, repeat)
            if count != per_block * blocks:
                raise AssertionError(f"{name}: {count:,} S-expressions, not {per_block * blocks:,}")
            alone = "-" if piece is None else f"{timed(loop_alone, stream, piece, repeat)[0]:.3f}"
            mb = len(stream) / 1e6
            print(f"{name:<8} {mb:>7.1f} {seconds:>9.3f} {mb / seconds:>8.1f} {alone:>13}  {repeat}",
                  flush=True)
            del stream
    print(machine.load())


if __name__ == "__main__":
    main()
