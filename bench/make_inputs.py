#!/usr/bin/env python3
"""Writes the benchmark inputs into a folder: the same bytes on every run (fixed seeds).

usage: make_inputs.py FOLDER

Event data never holds the bytes 0x4D ('M') or 0x53 ('S'), so no chunk or header tag can turn up
by chance inside a track; every sound file is therefore one that seqmend reports as ok.
"""
import os
import pathlib
import random
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from midi_bytes import END_OF_TRACK, header, meta, sysex, track  # noqa: E402

MIB = 1 << 20
DATA_VALUES = [v for v in range(0x80) if v not in (0x4D, 0x53)]

# 120 beats per minute, 4/4.
CONDUCTOR = track(meta(0x51, b"\x07\xa1\x20") + meta(0x58, b"\x04\x02\x18\x08") + END_OF_TRACK)


def data(rng):
    return rng.choice(DATA_VALUES)


def delta(rng):
    # Mostly chords (0) and short steps; now and then a two-byte delta time.
    r = rng.random()
    if r < 0.5:
        return b"\x00"
    if r < 0.9:
        return bytes([rng.choice(DATA_VALUES[1:60])])
    return bytes([0x80 | rng.choice(DATA_VALUES[1:8]), data(rng)])


def note_block(rng, channel, size):
    """Dense channel events on one channel, about `size` bytes: note on and off (off as note on
    with velocity 0, under running status), some controllers, pitch bends and program changes."""
    out = bytearray()
    running = -1
    while len(out) < size:
        r = rng.random()
        if r < 0.8:
            status = 0x90 | channel
            body = bytes([data(rng), data(rng) if rng.random() < 0.5 else 0])
        elif r < 0.9:
            status = 0xB0 | channel
            body = bytes([data(rng), data(rng)])
        elif r < 0.97:
            status = 0xE0 | channel
            body = bytes([data(rng), data(rng)])
        else:
            status = 0xC0 | channel
            body = bytes([data(rng)])
        out += delta(rng)
        if status != running:
            out.append(status)
            running = status
        out += body
    return bytes(out)


def repeat_to(block, size):
    """Whole copies of block up to at most size bytes (at least one): generating every byte in
    Python would take longer than the runs it feeds. The block ends with a full event, so copies
    join cleanly."""
    return block * max(1, size // len(block))


def cached_block(rng, channel, size, blocks):
    key = (channel, size)
    if key not in blocks:
        blocks[key] = note_block(rng, channel, size)
    return blocks[key]


def note_track(rng, channel, size, blocks):
    """A track chunk of about `size` bytes of dense events on one channel. `blocks` keeps the
    event blocks made so far, so that thousands of small tracks take no longer to make than a few
    large ones. Each block opens with an explicit status, so it may follow any other."""
    events_size = size - 12
    block = cached_block(rng, channel, min(events_size, 64 * 1024), blocks)
    events = repeat_to(block, events_size)
    if events_size - len(events) > 0:
        events += cached_block(rng, channel, events_size - len(events), blocks)
    return track(events + END_OF_TRACK)


def sound_file(size, tracks, seed):
    rng = random.Random(seed)
    body_size = (size - 14 - len(CONDUCTOR)) // tracks
    parts = [header(1, tracks + 1), CONDUCTOR]
    blocks = {}
    for i in range(tracks):
        parts.append(note_track(rng, i % 16, body_size, blocks))
    return b"".join(parts)


def sysex_file(size, seed):
    rng = random.Random(seed)
    # 5 KB system exclusive events: F0, length, data, F7, with a short delta time before each.
    events = bytearray()
    for _ in range(16):
        payload = bytes([0x43] + [data(rng) for _ in range(5 * 1024 - 2)]) + b"\xf7"
        events += sysex(payload, delta=0x10)
    per_track = (size - 14) // 4
    parts = [header(1, 4)]
    for _ in range(4):
        parts.append(track(repeat_to(bytes(events), per_track - 12) + END_OF_TRACK))
    return b"".join(parts)


def text_meta_file(size, text_size, seed):
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefghijklnopqrtuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(500)]
    text = bytearray()
    while len(text) < 64 * 1024:
        text += rng.choice(words) + b" "
    text = (bytes(text) * (text_size // len(text) + 1))[:text_size]
    text_event = meta(0x01, text)
    notes = note_block(rng, 0, (size - len(text_event) - 30) // 2)
    return header(0, 1) + track(notes + text_event + notes + END_OF_TRACK)


def damaged_file(size, tracks, seed):
    """A format 1 file of `tracks` note tracks, then damaged: every third track's length field is
    wrong, every fourth is followed by garbage, every fifth has lost its end of track."""
    rng = random.Random(seed)
    body_size = (size - 14) // tracks
    parts = [header(1, tracks)]
    blocks = {}
    for i in range(tracks):
        chunk = bytearray(note_track(rng, i % 16, body_size, blocks))
        if i % 5 == 2:
            chunk = chunk[:-4]  # the end of track is gone; the length field still counts it
        if i % 3 == 1:
            stored = struct.unpack(">I", chunk[4:8])[0]
            struct.pack_into(">I", chunk, 4, stored + rng.choice([-700, 123, 5000, 1 << 20]))
        parts.append(bytes(chunk))
        if i % 4 == 3:
            parts.append(bytes(data(rng) | 0x80 for _ in range(rng.randint(1, 300))))
    return b"".join(parts)


INPUTS = [
    ("sound-1M.mid", lambda: sound_file(1 * MIB, 4, 1)),
    ("sound-16M.mid", lambda: sound_file(16 * MIB, 16, 16)),
    ("sound-64M.mid", lambda: sound_file(64 * MIB, 16, 64)),
    ("tracks-10000.mid", lambda: sound_file(16 * MIB, 10000, 10)),
    ("sysex-5K.mid", lambda: sysex_file(16 * MIB, 5)),
    ("text-60M.mid", lambda: text_meta_file(64 * MIB, 60 * MIB, 60)),
    ("damaged-64M.mid", lambda: damaged_file(64 * MIB, 64, 99)),
]


def main():
    folder = sys.argv[1]
    for name, make in INPUTS:
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(make())
        print(name)


if __name__ == "__main__":
    main()
