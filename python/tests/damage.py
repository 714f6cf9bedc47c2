"""Sound MIDI files built from readable bytes, and the named damages the tests plant in them."""
import random

import midi_bytes as mb

NOTES = bytes([
    0x00, 0x90, 0x3C, 0x40,  # note on C4
    0x60, 0x80, 0x3C, 0x00,  # note off 96 ticks later
])
CONTROL = bytes([0x00, 0xB0, 0x07, 0x64])  # volume 100
LINE_FEEDS = bytes([
    0x0A, 0x90, 0x3C, 0x0A,  # note on after 10 ticks, velocity 10
    0x0A, 0x80, 0x3C, 0x00,  # note off 10 ticks later
])


def sound(events=NOTES + CONTROL, tracks=1):
    return mb.header(fmt=1, tracks=tracks) + mb.track(events + mb.END_OF_TRACK) * tracks


def without_end_of_track():
    return mb.header() + mb.track(NOTES)


def wrong_track_length():
    return mb.header() + mb.track(NOTES + mb.END_OF_TRACK, length=len(NOTES) + 40)


def trailing_garbage():
    return sound() + b"\x01\x02garbage"


def control_out_of_range():
    return mb.header() + mb.track(NOTES + bytes([0x00, 0xB0, 0x07, 0xE4]) + mb.END_OF_TRACK)


def lf_to_crlf(data):
    """A text-mode transfer's damage: CR put before every LF."""
    return data.replace(b"\n", b"\r\n")


def damaged_copies(corpus, folder, count):
    """count files made from the corpus: some as they are, the rest cut short, with bytes
    flipped or inserted, or sent through a text-mode transfer."""
    chance = random.Random(20)
    sources = [path.read_bytes() for path in corpus]
    for number in range(count):
        data = bytearray(sources[number % len(sources)])
        kind = number % 5
        if kind == 1 and data:
            del data[chance.randrange(len(data)):]
        elif kind == 2:
            for _ in range(3):
                if data:
                    data[chance.randrange(len(data))] = chance.randrange(256)
        elif kind == 3:
            data[chance.randrange(len(data) + 1):0] = bytes(chance.randrange(256) for _ in range(5))
        elif kind == 4:
            data = bytearray(lf_to_crlf(bytes(data)))
        path = folder / f"set{kind}" / f"{number:04d}.mid"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(bytes(data))
