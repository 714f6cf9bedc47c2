#!/usr/bin/env python3
"""Writes the example MIDI files of seqmend: one sound file and one file per family of damage.

Every file is built sound first and then damaged in one named step, so that a reader can see
what is wrong with it. The output is the same on every run (no clock, no randomness), which
lets the files be committed and the batch example compare its summary exactly.

usage: make-examples.py [folder]     (default: the folder of this script)
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from midi_bytes import END_OF_TRACK, GM_ON, header, meta, track, vlq  # noqa: E402

QUARTER = vlq(480)  # one quarter note at 480 ticks per quarter


def conductor(name=b"Conductor"):
    """Track name, 120 beats per minute, 4/4; ends with its end of track."""
    tempo = meta(0x51, bytes([0x07, 0xA1, 0x20]))
    signature = meta(0x58, bytes([0x04, 0x02, 0x18, 0x08]))
    return meta(0x03, name) + tempo + signature + END_OF_TRACK


def setup(channel, program, name):
    """Track name, program and volume for one channel."""
    return (meta(0x03, name) + bytes([0x00, 0xC0 | channel, program]) +
            bytes([0x00, 0xB0 | channel, 0x07, 0x64]))


def notes(channel, keys):
    """One quarter note per key; the note offs use running status (note on, velocity 0)."""
    data = b""
    for key in keys:
        data += bytes([0x00, 0x90 | channel, key, 0x50]) + QUARTER + bytes([key, 0x00])
    return data


SCALE = [60, 62, 64, 65, 67, 69, 71, 72]
BASS = [36, 43, 41, 43]


def melody(channel=0, keys=SCALE, name=b"Melody"):
    return setup(channel, 0x00, name) + notes(channel, keys) + END_OF_TRACK


def bass(channel=1, keys=BASS, name=b"Bass"):
    return setup(channel, 0x21, name) + notes(channel, keys) + END_OF_TRACK


def sound_file():
    return header(1, 3) + track(conductor()) + track(melody()) + track(bass())


def examples():
    """(file name, bytes) of every example, in the order of examples/README.md."""
    files = {}

    files["sound.mid"] = sound_file()

    # Several repairs at once: a wrong track length, a header that promises a third track,
    # an out-of-range controller value, a note with an invalid velocity (the rest of that track
    # is lost and its end of track replaced) and stray bytes behind the data.
    first = melody()
    second = (setup(1, 0x21, b"Bass") + bytes([0x00, 0xB1, 0x0A, 0x85]) + notes(1, BASS[:2]) +
              bytes([0x00, 0x91, 0x2B, 0x80]) + notes(1, BASS[2:]) + END_OF_TRACK)
    files["damaged.mid"] = (header(1, 3) + track(first, length=len(first) + 200) + track(second) +
                            b"\x1a" * 5)

    # The track length is too large, and the last track has lost its end of track event.
    first = melody()
    files["length-and-eot.mid"] = (header(1, 2) + track(first, length=1000) +
                                   track(bass()[:-len(END_OF_TRACK)]))

    # Stray bytes in front of the header, between two tracks and behind the last track.
    files["stray-bytes.mid"] = (b"RIFF\x00\x01\x02\x03junk" + header(1, 2) + track(conductor()) +
                                b"\x55\xAA\x55" + track(melody()) + b"trailing bytes")

    # A foreign header tag.
    files["snio-header.mid"] = (header(1, 2, tag=b"SNio") + track(conductor()) +
                                track(melody()))

    # Format 3 does not exist, and a division of 0 ticks per quarter cannot be played.
    files["bad-header.mid"] = header(3, 2, division=0) + track(conductor()) + track(melody())

    # Data bytes out of range: controller value 0x85, program 0x90, channel pressure 0xFF.
    broken = (meta(0x03, b"Melody") + bytes([0x00, 0xC0, 0x90]) + bytes([0x00, 0xB0, 0x07, 0x85]) +
              notes(0, SCALE[:4]) + bytes([0x00, 0xD0, 0xFF]) + notes(0, SCALE[4:]) + END_OF_TRACK)
    files["bad-values.mid"] = header(1, 2) + track(conductor()) + track(broken)

    # System exclusive: a GM System On followed at once by notes, a message that lost its
    # closing F7, and one with a data byte above 0x7F.
    incomplete = bytes([0x00, 0xF0, 0x03, 0x43, 0x10, 0x4C])
    out_of_range = bytes([0x00, 0xF0, 0x04, 0x41, 0x90, 0x12, 0xF7])
    events = (GM_ON + setup(0, 0x00, b"Melody") + incomplete + notes(0, SCALE[:4]) + out_of_range +
              notes(0, SCALE[4:]) + END_OF_TRACK)
    files["sysex.mid"] = header(1, 2) + track(conductor()) + track(events)

    # A format 0 file whose only track lost its chunk head: a torn stretch of text follows the
    # header, then the events; the end of track went with the rest of the file.
    events = conductor(b"Song")[:-len(END_OF_TRACK)] + notes(0, SCALE * 2)
    files["lost-track-head.mid"] = header(0, 1) + b"-- torn off here --!" + events

    # A second complete MIDI file stuck behind the first.
    files["appended.mid"] = sound_file() + header(0, 1, division=96) + track(melody(keys=SCALE[::-1]))

    # Format 0 allows one track, but three follow, and the header counts only two.
    files["format0-tracks.mid"] = header(0, 2) + track(conductor()) + track(melody()) + track(bass())

    # No MIDI data at all.
    files["not-midi.mid"] = b"This is a text file that was given the name of a MIDI file.\n"

    return files


def main():
    folder = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).parent
    for name, data in examples().items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
