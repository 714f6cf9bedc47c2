#!/usr/bin/env python3
"""Speed of seqmend.repair from Python, on the external corpus's files read into memory, beside
what users call today: mido.MidiFile loading the same bytes. Also seqmend.repair on two threads
against one. Not a test: it prints a table.

usage: python3 bench/python_bench.py [CORPUS_FOLDER] [SECONDS]
(with the seqmend package installed: /usr/bin/python3 -m pip install --no-build-isolation
--no-deps ./python; CORPUS_FOLDER defaults to ../shared/corpus-ext beside the repository)
"""
import io
import os
import pathlib
import sys
import threading
import time
import zlib

import seqmend

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]


def load_corpus(folder):
    paths = sorted(p for p in pathlib.Path(folder).rglob("*") if p.is_file() and p.suffix != ".md")
    return [p.read_bytes() for p in paths]


def rate(work, files, seconds):
    """Files per second of work(data) over the files, repeated until `seconds` have passed."""
    done, start = 0, time.perf_counter()
    while True:
        for data in files:
            work(data)
        done += len(files)
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return done / elapsed


def threaded_rate(files, threads, seconds, work=None):
    """Files per second of work (seqmend.repair) on `threads` threads, each over the whole list
    until `seconds` have passed."""
    work_one = work or seqmend.repair
    counts = [0] * threads
    start = time.perf_counter()

    def loop(slot):
        while time.perf_counter() - start < seconds:
            for data in files:
                work_one(data)
            counts[slot] += len(files)

    pool = [threading.Thread(target=loop, args=(slot,)) for slot in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return sum(counts) / (time.perf_counter() - start)


def best_of_bursts(files, seconds, work=None, burst=0.25):
    """The best rates on one thread and on two, from short bursts taken in turn: on a machine
    that other programs share, the best burst is the one least disturbed."""
    one = two = 0.0
    for _ in range(max(1, int(seconds / burst / 2))):
        one = max(one, threaded_rate(files, 1, burst, work))
        two = max(two, threaded_rate(files, 2, burst, work))
    return one, two


def mido_load(data):
    import mido
    try:
        mido.MidiFile(file=io.BytesIO(data))
    except Exception:  # a refused file costs what it cost until it was refused
        pass


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else REPOSITORY.parent / "shared" / "corpus-ext"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
    files = load_corpus(folder)
    if not files:
        sys.exit(f"no files in {folder}")
    size = sum(map(len, files))
    print(f"seqmend {seqmend.__version__}, {len(files)} files, {size} bytes, "
          f"{os.cpu_count()} cores")
    repair = rate(seqmend.repair, files, seconds)
    mido = rate(mido_load, files, seconds)
    one, two = best_of_bursts(files, seconds)
    # What two threads give on this machine right now for work that holds no lock: the ceiling
    # of the line above when other programs share the cores.
    block = [bytes(range(256)) * 4096]
    zlib_one, zlib_two = best_of_bursts(block, seconds, zlib.compress)
    ceiling = zlib_two / zlib_one
    rows = [
        ("mido.MidiFile(file=BytesIO(data))", mido, 1.0),
        ("seqmend.repair(data)", repair, repair / mido),
        ("seqmend.repair, 1 thread", one, 1.0),
        ("seqmend.repair, 2 threads", two, two / one),
        ("(zlib.compress, 2 threads vs 1)", None, ceiling),
    ]
    print(f"{'':36} {'files/s':>10} {'ratio':>8}")
    for name, files_per_second, ratio in rows:
        shown = "" if files_per_second is None else f"{files_per_second:.0f}"
        print(f"{name:36} {shown:>10} {ratio:7.2f}x")
    print(f"targets: seqmend/mido >= 50x (got {repair / mido:.1f}x); "
          f"2 threads/1 thread >= 1.7x (got {two / one:.2f}x)")


if __name__ == "__main__":
    main()
