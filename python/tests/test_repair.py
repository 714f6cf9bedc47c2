"""seqmend.repair and its kin on built inputs: verdicts, bytes, findings, misuse, files."""
import mmap
import os
import pickle
import stat
import threading

import pytest

import midi_bytes as mb
import seqmend
from damage import (CONTROL_OUT_OF_RANGE, NOTES, TRAILING_GARBAGE, WITHOUT_END_OF_TRACK,
                    WRONG_TRACK_LENGTH, lf_to_crlf, sound)


def test_sound_file_comes_back_as_the_same_bytes():
    data = sound()
    result = seqmend.repair(data)
    assert (result.verdict, result.findings, result.extras) == ("sound", [], [])
    assert result.sound and result.ok
    assert result.data is data
    for other in (bytearray(data), memoryview(data)):
        again = seqmend.repair(other).data
        assert type(again) is bytes and again == data


@pytest.mark.parametrize("data, code, values, output", [
    (WRONG_TRACK_LENGTH, "track-length-updated", {"track": 1}, sound(NOTES)),
    (TRAILING_GARBAGE, "trailing-garbage", {"count": 9}, sound()),
    (CONTROL_OUT_OF_RANGE, "invalid-control-value", {"offset": 31},
     sound(NOTES + b"\x00\xB0\x07\x7F")),
    (sound() + sound(tracks=2), "extra-file", {"file": "extra1.mid"}, sound()),
])
def test_repairs_and_their_findings(data, code, values, output):
    buffer = bytearray(data)
    result = seqmend.repair(buffer)
    assert [(f.code, f.values()) for f in result.findings] == [(code, values)]
    assert (result.verdict, result.data) == ("repaired", output)
    assert result.extras == ([sound(tracks=2)] if code == "extra-file" else [])
    assert buffer == data


def test_input_that_cannot_be_treated_is_a_failed_verdict_not_an_exception():
    huge = 0xFFFFFFFF
    for data in [b"", b"\0" * 100, b"MThd", b"not a midi file at all"]:
        result = seqmend.repair(data)
        assert (result.verdict, result.data, result.ok) == ("failed", b"", False)
        assert result.findings
    # Lengths that claim 4 GiB are treated without a crash or a giant output.
    for data in [mb.header() + mb.track(NOTES + mb.END_OF_TRACK, length=huge),
                 mb.header(length=huge) + mb.track(NOTES + mb.END_OF_TRACK),
                 mb.header(length=huge, tracks=0xFFFF) + mb.track(NOTES, length=huge),
                 sound(b"\x00\xF0\x8F\xFF\xFF\xFF\x7F\x01")]:
        result = seqmend.repair(data)
        assert result.verdict in ("sound", "repaired", "failed")
        assert len(result.data) < len(data) + 64
    # Anonymous memory that is never written past the first page costs no memory.
    with mmap.mmap(-1, 2 << 30) as view:
        view[:len(sound())] = sound()
        result = seqmend.repair(view)
    assert (result.verdict, result.codes, result.data) == ("failed", ["file-too-large"], b"")


@pytest.mark.parametrize("bad", ["MThd", 42, None, [77, 84], memoryview(b"MThdMThd")[::2]])
def test_what_is_not_bytes_like_raises_type_error(bad):
    for call in (seqmend.repair, seqmend.restore_line_ends):
        with pytest.raises(TypeError):
            call(bad)


def test_arguments_are_taken_as_a_python_function_takes_them(tmp_path):
    data = WITHOUT_END_OF_TRACK
    for name, shown in [("a.mid", "a.mid"), (b"b\xff.mid", os.fsdecode(b"b\xff.mid")),
                        (tmp_path / "c.mid", str(tmp_path / "c.mid"))]:
        result = seqmend.repair(data=data, name=name, tracks_only=0, normalize=1)
        assert result.findings[0].text.startswith(shown + ": ")
    assert seqmend.repair(data, tracks_only=True).data != seqmend.repair(data).data == sound(NOTES)
    for call in [lambda: seqmend.repair(), lambda: seqmend.repair(data, True),
                 lambda: seqmend.repair(data, data=data), lambda: seqmend.repair(data, colour=1),
                 lambda: seqmend.restore_line_ends(data, normalize=True),
                 lambda: seqmend.repair(data, name=None)]:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError):
        seqmend.repair(data, name="a\0b")


def test_results_survive_pickling():
    for data in (sound(), TRAILING_GARBAGE + WRONG_TRACK_LENGTH, sound() * 2, b""):
        result = seqmend.repair(data)
        again = pickle.loads(pickle.dumps(result))
        assert again == result and repr(again) == repr(result)


def test_repair_releases_the_gil():
    # About 4 MB of events: long enough that the main thread must get to run meanwhile.
    worker = threading.Thread(target=seqmend.repair, args=(sound(NOTES * 500_000),))
    worker.start()
    ticks = 0
    while worker.is_alive():
        ticks += 1
    assert ticks > 1000


def test_restore_line_ends_undoes_a_text_mode_transfer():
    data = sound(NOTES + b"\x0A\x90\x3C\x0A\x0A\x80\x3C\x00")  # line feeds in times and values
    restored = seqmend.restore_line_ends(lf_to_crlf(data))
    assert (restored.verdict, restored.data) == ("repaired", data)
    assert set(restored.codes) == {"crlf-to-lf"}
    assert seqmend.restore_line_ends(data).data is data


def test_repair_file_writes_only_a_complete_repaired_copy(tmp_path):
    # A path is any bytes; the findings' lines hold it as os.fsdecode gives it.
    good, bad, out = tmp_path / "good.mid", tmp_path / os.fsdecode(b"b\xffd.mid"), tmp_path / "out"
    good.write_bytes(sound())
    bad.write_bytes(WITHOUT_END_OF_TRACK)
    out.write_bytes(b"old")
    assert seqmend.repair_file(good, tmp_path / "good.out").verdict == "sound"
    result = seqmend.repair_file(bad, out)
    assert result.findings[0].text == f"{bad}: Missing end of track added."
    assert out.read_bytes() == result.data == sound(NOTES)
    umask = os.umask(0o022)
    os.umask(umask)
    assert stat.S_IMODE(out.stat().st_mode) == 0o666 & ~umask
    assert bad.read_bytes() == WITHOUT_END_OF_TRACK
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([bad.name, "good.mid", "out"])
    assert seqmend.repair_file(bad, os.devnull).verdict == "repaired"
    with pytest.raises(FileNotFoundError):
        seqmend.repair_file(tmp_path / "missing.mid")
    with pytest.raises(IsADirectoryError):
        seqmend.repair_file(tmp_path)


def test_repair_file_refuses_every_way_back_to_the_input(tmp_path):
    song = tmp_path / "song.mid"
    song.write_bytes(WITHOUT_END_OF_TRACK)
    os.link(song, tmp_path / "hard.mid")
    os.symlink(song, tmp_path / "soft.mid")
    (tmp_path / "sub").mkdir()
    for out in [song, str(song), tmp_path / "sub" / ".." / "song.mid", tmp_path / "hard.mid",
                tmp_path / "soft.mid"]:
        with pytest.raises(ValueError):
            seqmend.repair_file(song, out)
    assert song.read_bytes() == WITHOUT_END_OF_TRACK
