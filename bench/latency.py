#!/usr/bin/env python3
"""Latency of tapsum in a live chain: how long after a chunk of input is written the
last output frame it determines arrives.

A producer writes 10 ms chunks (441 frames) of 44.1 kHz 16-bit stereo noise at the
real-time rate, 5 s in all, into tapsum's standard input; a reader timestamps what
arrives on its standard output. A chunk's latency runs from its write to the
arrival of the output frame of its last input frame, not counting the filter's own
delay. For each filter length (31, 8191 and 65536 taps, low-passes) and a length
declared in the header or unknown (a data size of 0), prints the median, the 99th
percentile and the largest latency, and how long the tail took after the input's
end.

    bench/latency.py [TAPSUM [TAPS ...]]   TAPSUM defaults to build/release/tapsum
"""
import os
import random
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RATE, CHUNK, SECONDS = 44100, 441, 5


def header(frames):
    data = 0 if frames is None else frames * 4
    return (b"RIFF" + struct.pack("<I", data + 36) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 2, RATE, RATE * 4, 4, 16) + b"data" +
            struct.pack("<I", data))


def measure(tapsum, fir, declared):
    chunks = RATE * SECONDS // CHUNK
    frames = chunks * CHUNK
    process = subprocess.Popen([tapsum, fir], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, bufsize=0)
    written = []
    arrived = []  # (time, output frames so far)

    def read():
        got = 0
        head = b""
        while len(head) < 44:
            part = process.stdout.read(44 - len(head))
            if not part:
                return
            head += part
        while True:
            part = process.stdout.read(65536)
            if not part:
                break
            got += len(part)
            arrived.append((time.monotonic(), got // 4))

    reader = threading.Thread(target=read)
    reader.start()
    noise = random.Random(1)
    process.stdin.write(header(frames if declared else None))
    start = time.monotonic()
    for i in range(chunks):
        wait = start + i * CHUNK / RATE - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        chunk = bytes(noise.getrandbits(8) for _ in range(CHUNK * 4))
        process.stdin.write(chunk)
        written.append(time.monotonic())
    process.stdin.close()
    ended = time.monotonic()
    reader.join()
    process.wait()
    latencies = []
    k = 0
    for i, sent in enumerate(written):
        need = (i + 1) * CHUNK
        while k < len(arrived) and arrived[k][1] < need:
            k += 1
        if k == len(arrived):
            break
        latencies.append(max(0.0, arrived[k][0] - sent))
    tail = arrived[-1][0] - ended if arrived else float("nan")
    latencies.sort()
    return (statistics.median(latencies), latencies[int(0.99 * (len(latencies) - 1))],
            latencies[-1], tail)


def main():
    tapsum = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release", "tapsum")
    taps_list = [int(t) for t in sys.argv[2:]] or [31, 8191, 65536]
    print(f"{'taps':>6} {'length':>9} {'median ms':>10} {'p99 ms':>8} {'max ms':>8} {'tail ms':>8}")
    with tempfile.TemporaryDirectory() as work:
        for taps in taps_list:
            fir = os.path.join(work, f"lp{taps}.txt")
            with open(fir, "w") as out:
                subprocess.run(["awk", "-v", f"taps={taps}", "-f",
                                os.path.join(ROOT, "bench", "lowpass.awk")], stdout=out, check=True)
            for declared in (True, False):
                median, p99, most, tail = measure(tapsum, fir, declared)
                print(f"{taps:>6} {'declared' if declared else 'unknown':>9} {median * 1000:>10.1f} "
                      f"{p99 * 1000:>8.1f} {most * 1000:>8.1f} {tail * 1000:>8.1f}")


if __name__ == "__main__":
    main()
