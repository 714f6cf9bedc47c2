#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: small sound MIDI files and one file for each kind of damage
the tool repairs, so that the fuzzer starts from inputs that reach every phase of the repair.

usage: make-seeds.py FOLDER
"""
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from midi_bytes import END_OF_TRACK as EOT, GM_ON, chunk, header, track, u16  # noqa: E402


def notes(n=4, channel=0):
    out = b""
    for i in range(n):
        out += bytes([0x00, 0x90 | channel, 0x3C + i % 12, 0x40])
        out += bytes([0x60, 0x80 | channel, 0x3C + i % 12, 0x00])
    return out


def sound(tracks=2, n=4):
    return header(1, tracks) + b"".join(track(notes(n, t) + EOT) for t in range(tracks))


UNTAGGED = notes(20) + EOT  # more than the 100 bytes the lost track head needs

# Text lines ending in CR LF, a controller value of 13 followed by a delta time of 10, and a track
# length of 0x10A.
CRLF_SOUND = header(1, 2) + track(
    bytes([0x00, 0xFF, 0x01, 0x0A]) + b"one\r\ntwo\r\n" + bytes([0x00, 0xB0, 0x07, 0x0D, 0x0A,
                                                              0xB0, 0x0A, 0x40]) + EOT) + track(
    bytes([0x00, 0xFF, 0x01, 0x82, 0x01]) + b"x" * 257 + EOT)

SEEDS = {
    # Sound files.
    "sound-format0": header(0, 1) + track(notes(6) + EOT),
    "sound-format1": sound(),
    "sound-format2": header(2, 2) + track(notes(2) + EOT) + track(notes(2) + EOT),
    "sound-running-status": header(0, 1) + track(
        bytes([0x00, 0x90, 0x3C, 0x40, 0x10, 0x3E, 0x40, 0x10, 0x3C, 0x00, 0x00, 0xF8]) + EOT),
    "sound-meta-sysex": header(0, 1) + track(
        bytes([0x00, 0xFF, 0x03, 0x04]) + b"Lead" + GM_ON + bytes([0x20, 0x90, 0x3C, 0x40]) +
        bytes([0x00, 0xB0, 0x07, 0x64, 0x00, 0xC0, 0x05, 0x00, 0xD0, 0x20, 0x00, 0xE0, 0x00, 0x40])
        + EOT),
    "sound-large-events": header(0, 1) + track(
        bytes([0x00, 0xF0, 0x88, 0x00]) + bytes(1023) + b"\xF7" +
        bytes([0x00, 0xFF, 0x01, 0x88, 0x00]) + b"t" * 1024 + EOT),
    # The header and what lies before it.
    "garbage-before-header": b"RIFF\x00\x01garbage" + sound(),
    "tag-snio": header(tag=b"SNio") + track(notes() + EOT),
    "tag-song": header(tag=b"SONG") + track(notes() + EOT),
    "tag-strange": header(tag=bytes([0xF2, 0xF8, 0x08, 0x4E])) + track(notes() + EOT),
    "header-length-0": header(length=0) + track(notes() + EOT),
    "header-length-4": chunk(b"MThd", u16(1) + u16(1), 4) + track(notes() + EOT),
    "header-length-7": header(length=7) + b"\x00" + track(notes() + EOT),
    "header-length-8": chunk(b"MThd", u16(1) + u16(1) + u16(96) + b"\x00\x00") +
    track(notes() + EOT),
    "header-length-bit31": header(length=0x80000006) + track(notes() + EOT),
    "header-truncated": b"MThd\x00\x00",
    "header-format3-division0": header(3, 1, 0) + track(notes() + EOT),
    "header-count-wrong": header(1, 5) + track(notes() + EOT) + track(notes() + EOT),
    "format0-many-tracks": header(0, 1) + track(notes() + EOT) + track(notes() + EOT),
    # Track chunks.
    "track-length-large": header(1, 2) + track(notes() + EOT, 1000) + track(notes() + EOT),
    "track-length-small": header(1, 2) + track(notes() + EOT, 3) + track(notes() + EOT),
    "track-length-0": header(1, 2) + track(b"", 0) + track(notes() + EOT),
    "track-length-bit31": header(1, 2) + track(notes() + EOT) + track(notes() + EOT, 0x80000000),
    "garbage-between-tracks": header(1, 2) + track(notes() + EOT) + b"junk" +
    track(notes() + EOT),
    "unknown-chunk": header(1, 2) + track(notes() + EOT) + chunk(b"XYZW", b"abc") +
    track(notes() + EOT),
    "lost-head-format0": header(0, 1) + b"\x01" * 20 + UNTAGGED[:-4],
    "lost-head-format1": header(1, 1) + UNTAGGED,
    "eot-inside-text": header(1, 2) + track(bytes([0x00, 0xFF, 0x01, 0x03, 0xFF, 0x2F, 0x00]) +
                                            notes(1) + EOT) + track(notes() + EOT),
    # Events.
    "missing-end-of-track": header(1, 2) + track(notes()) + track(notes()),
    "data-byte-first": header(0, 1) + track(bytes([0x00, 0x3C, 0x40]) + notes() + EOT),
    "invalid-status": header(0, 1) + track(notes(1) + bytes([0x00, 0xF1, 0x00]) + EOT),
    "invalid-note": header(0, 1) + track(notes(1) + bytes([0x00, 0x90, 0x3C, 0x80]) + EOT),
    "invalid-values": header(0, 1) + track(
        bytes([0x00, 0xB0, 0x07, 0x85, 0x00, 0xC0, 0x90, 0x00, 0xD3, 0xFF]) + EOT),
    "four-byte-delta": header(0, 1) + track(bytes([0x81, 0x80, 0x80, 0x80, 0x90, 0x3C, 0x40]) + EOT),
    "delta-all-bit7": header(0, 1) + track(bytes([0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0x3C, 0x40]) + EOT),
    "bytes-after-eot": header(0, 1) + track(notes(1) + EOT + bytes([0x00]) + notes(1)),
    "sysex-incomplete": header(0, 1) + track(bytes([0x00, 0xF0, 0x03, 0x01, 0x02, 0x03]) +
                                             notes(1) + EOT),
    "sysex-length-0": header(0, 1) + track(bytes([0x00, 0xF0, 0x00]) + notes(1) + EOT),
    "sysex-length-huge": header(0, 1) + track(bytes([0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0x7F, 0x01]) +
                                              notes(1) + EOT),
    "sysex-out-of-range": header(0, 1) + track(bytes([0x00, 0xF0, 0x04, 0x41, 0x90, 0x12, 0xF7])
                                               + EOT),
    "gm-on-short-pause": header(0, 1) + track(GM_ON + bytes([0x05, 0x90, 0x3C, 0x40]) + EOT),
    "meta-past-end": header(0, 1) + track(notes(1) + bytes([0x00, 0xFF, 0x01, 0x81, 0x00]) +
                                          b"short" + EOT),
    "meta-past-file": header(0, 1) + track(bytes([0x00, 0xFF, 0x01, 0xFF, 0xFF, 0x7F]), 100),
    # Behind the MIDI data.
    "trailing-garbage": sound() + b"\x00garbage",
    "xfih-block": sound() + b"XFIH" + bytes(36),
    "xfih-short": sound() + b"XFIH" + bytes(8),
    "appended-files": sound() + header(0, 1) + track(notes(1) + EOT) + b"xx" + sound(1, 1),
    "appended-header-length-7": sound() + header(0, 1, length=7) + b"\x00" + track(EOT),
    # Every LF byte of a sound file written as CR LF by a text-mode transfer.
    "crlf-damage": (header(1, 1, 0x0A0A) + track(bytes([0x00, 0x90, 0x0A, 0x0A, 0x0A, 0x80, 0x0A,
                                                        0x00]) + EOT)).replace(b"\n", b"\r\n"),
    # CR LF pairs of a sound file, then the same file after a transfer that wrote CR LF as LF.
    "sound-crlf": CRLF_SOUND,
    "lf-damage": CRLF_SOUND.replace(b"\r\n", b"\n"),
    "only-garbage": bytes(range(256)) * 2,
}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name + ".mid"), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds written to {folder}")


if __name__ == "__main__":
    main()
