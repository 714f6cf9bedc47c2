#!/usr/bin/env python3
"""Writes the hostile inputs of bench/hostile-timings.sh into a folder: about 32 MB each, built
to make the chunk walk, the event loop and the searches of the track data recognizer work as
hard as they can per byte, and three of 1 MiB for eolmend's search (files named eolmend-*).
The same bytes on every run (fixed seed).

usage: make_hostile.py FOLDER
"""
import os
import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from midi_bytes import END_OF_TRACK, header, meta, track, vlq  # noqa: E402

SIZE = 32 * 1024 * 1024


def note_on(delta, key):
    return bytes([delta, 0x90, key, 0x40])


def repeat_to(block, size):
    """Whole copies of block up to at most size bytes."""
    return block * (size // len(block))


def inputs():
    """(file name, bytes) of every hostile input."""
    rng = random.Random(5)
    files = {}

    # Empty tracks of 12 bytes (chunk head and end of track): the most chunks per byte.
    files["tracks-12-bytes.mid"] = header(1, 0xFFFF) + repeat_to(track(END_OF_TRACK), SIZE)

    # 100-byte tracks: 8 bytes of chunk head, 22 note events of 4 bytes, the end of track.
    one_track = track(b"".join(note_on(0x00, 0x3C + i % 12) for i in range(22)) + END_OF_TRACK)
    files["tracks-100-bytes.mid"] = header(1, 0xFFFF) + repeat_to(one_track, SIZE)

    # Garbage without any tag or end of track in it, then a format 0 header with untagged events.
    garbage = bytes(rng.choice(range(0x01, 0x7F)) for _ in range(4096))
    untagged = b"".join(note_on(0x10, 0x3C + i % 12) for i in range(2000))
    files["garbage-then-untagged.mid"] = repeat_to(garbage, SIZE) + header(0, 1) + untagged

    # A format 0 header followed by events that parse for 96 bytes and then fail: the worst case
    # for the search for untagged track data.
    near_miss = note_on(0x00, 0x3C) * 24 + b"\x00\xf1\x00\x00"
    files["near-miss-untagged.mid"] = header(0, 1) + repeat_to(near_miss, SIZE)

    # A system exclusive event that claims the whole track and holds no F7: it is incomplete, and
    # its removal reads to the end of the track.
    no_f7 = bytes(rng.choice(range(0x01, 0x7F)) for _ in range(4096))
    data = repeat_to(no_f7, SIZE)
    files["sysex-without-f7.mid"] = header(0, 1) + track(b"\x00\xf0" + vlq(len(data)) + data)

    # The same behind a format 0 header without a track head: every candidate of the search for
    # untagged data meets a system exclusive start with no F7 anywhere after it.
    files["sysex-without-f7-untagged.mid"] = header(0, 1) + repeat_to(b"\x00\xf0\x00" + no_f7, SIZE)

    # Empty text events one after another: every event goes through the event loop.
    chain = repeat_to(meta(0x01, b""), SIZE)
    files["meta-chain.mid"] = header(0, 1) + track(chain + END_OF_TRACK)

    # eolmend's search for lost CR bytes, on 1 MiB tracks whose declared length wants 64 bytes
    # more than there are: every LF may have lost its CR. Each must be answered within a second.
    mib = 1 << 20
    lf_bodies = {
        "eolmend-every-byte-lf.mid": b"\x00\x90" + b"\n" * mib,
        "eolmend-text-of-lf-cr.mid": b"\x00\xff\x01\xbf\xff\x7f" + b"\n\r" * (mib // 2),
        "eolmend-noise.mid": bytes(rng.choice(b"\n\r\x3c\x90\xff\x2f") for _ in range(mib)),
    }
    for name, body in lf_bodies.items():
        files[name] = header(0, 1) + b"MTrk" + (mib + 64).to_bytes(4, "big") + body

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
