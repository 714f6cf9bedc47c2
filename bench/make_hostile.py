#!/usr/bin/env python3
"""Writes the hostile inputs of bench/hostile-timings.sh into a folder: about 10 MB each, built
to make the searches of the chunk walk and of the track data recognizer work as hard as they
can. The same bytes on every run (fixed seed).

usage: make_hostile.py FOLDER
"""
import os
import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from midi_bytes import END_OF_TRACK, header, track  # noqa: E402

SIZE = 10 * 1024 * 1024


def note_on(delta, key):
    return bytes([delta, 0x90, key, 0x40])


def inputs():
    """(file name, bytes) of every hostile input."""
    rng = random.Random(5)
    files = {}

    # 100-byte tracks: 8 bytes of chunk head, 22 note events of 4 bytes, the end of track.
    one_track = track(b"".join(note_on(0x00, 0x3C + i % 12) for i in range(22)) + END_OF_TRACK)
    files["tracks-100-bytes.mid"] = header(1, 0xFFFF) + one_track * (SIZE // len(one_track))

    # Garbage without any tag or end of track in it, then a format 0 header with untagged events.
    garbage = bytes(rng.choice(range(0x01, 0x7F)) for _ in range(4096))
    untagged = b"".join(note_on(0x10, 0x3C + i % 12) for i in range(2000))
    files["garbage-then-untagged.mid"] = garbage * (SIZE // len(garbage)) + header(0, 1) + untagged

    # A format 0 header followed by 10 MB of events that parse for 96 bytes and then fail: the
    # worst case for the search for untagged track data.
    near_miss = note_on(0x00, 0x3C) * 24 + b"\x00\xf1\x00\x00"
    files["near-miss-untagged.mid"] = header(0, 1) + near_miss * (SIZE // len(near_miss))

    return files


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    for name, data in inputs().items():
        with open(os.path.join(sys.argv[1], name), "wb") as f:
            f.write(data)
        print(name)


if __name__ == "__main__":
    main()
