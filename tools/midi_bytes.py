"""Builders of Standard MIDI File bytes, shared by the scripts that write MIDI files: the example
files, the fuzzer's seeds, the benchmark inputs and the hostile inputs of the timings.

Every builder returns bytes and writes a correct field unless told otherwise; a damaged file is
built sound and then damaged by the caller, or by overriding one field here (a chunk's length,
the header's tag).

A script elsewhere in the tree imports it with:

    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
    import midi_bytes
"""
import struct

END_OF_TRACK = bytes([0x00, 0xFF, 0x2F, 0x00])  # delta time 0, meta event 2F of length 0

# A General MIDI System On message behind delta time 0.
GM_ON = bytes([0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7])


def u16(value):
    """A 16-bit big-endian number."""
    return struct.pack(">H", value)


def u32(value):
    """A 32-bit big-endian number."""
    return struct.pack(">I", value)


def vlq(value):
    """A variable-length quantity: seven bits per byte, most significant first, bit 7 set on
    every byte but the last."""
    groups = [value & 0x7F]
    value >>= 7
    while value:
        groups.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(groups))


def chunk(tag, body, length=None):
    """A chunk: tag, length field, body; `length` overrides the correct length field."""
    return tag + u32(len(body) if length is None else length) + body


def header(fmt=1, tracks=1, division=480, tag=b"MThd", length=6):
    """A header chunk; its six bytes of body follow whatever `length` claims."""
    return chunk(tag, u16(fmt) + u16(tracks) + u16(division), length)


def track(events, length=None):
    """A track chunk around `events`; `length` overrides the correct length field."""
    return chunk(b"MTrk", events, length)


def meta(kind, data, delta=0):
    """A meta event of type `kind` holding `data`."""
    return vlq(delta) + bytes([0xFF, kind]) + vlq(len(data)) + data


def sysex(payload, delta=0):
    """A system exclusive event: F0, the length, the payload (which should end with F7)."""
    return vlq(delta) + b"\xF0" + vlq(len(payload)) + payload
