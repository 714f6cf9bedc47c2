"""Sound MIDI files built from readable bytes, and the named damages the tests plant in them."""
import random

import midi_bytes as mb

NOTES = bytes([0x00, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C, 0x00])  # C4 on, off 96 ticks later


def sound(events=NOTES + bytes([0x00, 0xB0, 0x07, 0x64]), tracks=1):  # notes, volume 100
    return mb.header(fmt=1, tracks=tracks) + mb.track(events + mb.END_OF_TRACK) * tracks


WITHOUT_END_OF_TRACK = mb.header() + mb.track(NOTES)
WRONG_TRACK_LENGTH = mb.header() + mb.track(NOTES + mb.END_OF_TRACK, length=len(NOTES) + 40)
TRAILING_GARBAGE = sound() + b"\x01\x02garbage"
CONTROL_OUT_OF_RANGE = sound(NOTES + b"\x00\xB0\x07\xE4")  # volume 0xE4; its status at offset 31


def lf_to_crlf(data):
    """A text-mode transfer's damage: CR put before every LF."""
    return data.replace(b"\n", b"\r\n")


def damaged_copies(corpus, folder, count):
    """count files made from the corpus: some as they are, the rest cut short, with bytes
    flipped or inserted, or sent through a text-mode transfer."""
    chance = random.Random(20)
    for number in range(count):
        data = bytearray(corpus[number % len(corpus)].read_bytes())
        kind = number % 5
        if kind == 1 and data:
            del data[chance.randrange(len(data)):]
        elif kind == 2 and data:
            for _ in range(3):
                data[chance.randrange(len(data))] = chance.randrange(256)
        elif kind == 3:
            data[chance.randrange(len(data) + 1):0] = bytes(chance.randrange(256) for _ in range(5))
        elif kind == 4:
            data = bytearray(lf_to_crlf(bytes(data)))
        path = folder / f"set{kind}" / f"{number:04d}.mid"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(bytes(data))
