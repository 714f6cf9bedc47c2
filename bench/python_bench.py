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


def threaded_rate(files, threads, seconds):
    """Files per second of seqmend.repair on `threads` threads, each over the whole list until
    `seconds` have passed."""
    counts = [0] * threads
    start = time.perf_counter()

    def work(slot):
        while time.perf_counter() - start < seconds:
            for data in files:
                seqmend.repair(data)
            counts[slot] += len(files)

    pool = [threading.Thread(target=work, args=(slot,)) for slot in range(threads)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    return sum(counts) / (time.perf_counter() - start)


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
    print(f"seqmend {seqmend.__version__}, {len(files)} files, {size} bytes, {os.cpu_count()} cores")
    repair = rate(seqmend.repair, files, seconds)
    mido = rate(mido_load, files, seconds)
    one = threaded_rate(files, 1, seconds)
    two = threaded_rate(files, 2, seconds)
    rows = [
        ("mido.MidiFile(file=BytesIO(data))", mido, 1.0),
        ("seqmend.repair(data)", repair, repair / mido),
        ("seqmend.repair, 1 thread", one, 1.0),
        ("seqmend.repair, 2 threads", two, two / one),
    ]
    print(f"{'':36} {'files/s':>10} {'ratio':>8}")
    for name, files_per_second, ratio in rows:
        print(f"{name:36} {files_per_second:10.0f} {ratio:7.2f}x")
    print(f"targets: seqmend/mido >= 50x (got {repair / mido:.1f}x); "
          f"2 threads/1 thread >= 1.7x (got {two / one:.2f}x)")


if __name__ == "__main__":
    main()
