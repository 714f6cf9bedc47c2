"""seqmend.repair and its kin on built inputs: verdicts, bytes, findings, misuse, files."""
import mmap
import os
import pickle
import stat
import threading

import pytest

import midi_bytes as mb
import seqmend
from damage import (LINE_FEEDS, NOTES, control_out_of_range, lf_to_crlf, sound,
                    trailing_garbage, without_end_of_track, wrong_track_length)

VERDICTS = {"sound", "repaired", "failed"}


def test_sound_file_comes_back_as_the_same_bytes():
    data = sound()
    result = seqmend.repair(data)
    assert (result.verdict, result.findings, result.extras) == ("sound", [], [])
    assert result.sound and result.ok
    assert result.data is data
    for other in (bytearray(data), memoryview(data)):
        assert seqmend.repair(other).data == data
        assert type(seqmend.repair(other).data) is bytes


def test_missing_end_of_track_is_appended_and_rendered_as_the_command_prints_it():
    result = seqmend.repair(without_end_of_track(), name="in.mid")
    assert result.verdict == "repaired"
    assert [f.text for f in result.findings] == ["in.mid: Missing end of track added."]
    assert result.findings[0].code == "end-of-track-added"
    assert result.data == mb.header() + mb.track(NOTES + mb.END_OF_TRACK)
    assert seqmend.repair(result.data).verdict == "sound"


def test_findings_carry_their_values_and_none_elsewhere():
    result = seqmend.repair(trailing_garbage())
    garbage = next(f for f in result.findings if f.code == "trailing-garbage")
    assert garbage.values() == {"count": 9}
    assert (garbage.track, garbage.offset, garbage.tag, garbage.file) == (None,) * 4
    length = seqmend.repair(wrong_track_length()).findings[0]
    assert (length.code, length.values()) == ("track-length-updated", {"track": 1})
    control = seqmend.repair(control_out_of_range()).findings[0]
    assert control.offset == len(mb.header()) + 8 + len(NOTES) + 1  # the event's status byte
    assert f"{control.offset:08X}" in control.text


def test_input_buffer_is_left_unchanged():
    data = bytearray(control_out_of_range())
    before = bytes(data)
    seqmend.repair(data)
    assert data == before


@pytest.mark.parametrize("data", [b"", b"\0" * 100, b"MThd", b"not a midi file at all"])
def test_no_midi_data_is_a_failed_verdict_not_an_exception(data):
    result = seqmend.repair(data)
    assert (result.verdict, result.data) == ("failed", b"")
    assert result.findings and not result.ok


def test_lengths_claiming_4_gib_are_treated_without_a_crash():
    huge = 0xFFFFFFFF
    cases = {
        "track": mb.header() + mb.track(NOTES + mb.END_OF_TRACK, length=huge),
        "header": mb.header(length=huge) + mb.track(NOTES + mb.END_OF_TRACK),
        "both": mb.header(length=huge, tracks=0xFFFF) + mb.track(NOTES, length=huge),
        "sysex": mb.header() + mb.track(b"\x00\xF0\x8F\xFF\xFF\xFF\x7F\x01" + mb.END_OF_TRACK),
    }
    for name, data in cases.items():
        result = seqmend.repair(data)
        assert result.verdict in VERDICTS, name
        assert len(result.data) < len(data) + 64, name


def test_input_of_2_gib_is_refused_as_too_large():
    # Anonymous memory that is never written past the first page costs no memory.
    with mmap.mmap(-1, 2 << 30) as view:
        view[:len(sound())] = sound()
        result = seqmend.repair(view)
    assert (result.verdict, result.codes, result.data) == ("failed", ["file-too-large"], b"")


def test_every_prefix_of_a_damaged_file_gives_a_verdict():
    data = trailing_garbage() + wrong_track_length()
    for end in range(len(data) + 1):
        result = seqmend.repair(data[:end])
        assert result.verdict in VERDICTS
        assert (result.data == b"") == (result.verdict == "failed")


@pytest.mark.parametrize("bad", ["MThd", 42, None, [77, 84], memoryview(b"MThdMThd")[::2]])
def test_what_is_not_bytes_like_raises_type_error(bad):
    for call in (seqmend.repair, seqmend.restore_line_ends):
        with pytest.raises(TypeError):
            call(bad)


def test_names_of_any_kind_begin_the_lines():
    data = without_end_of_track()
    for name, shown in [("a b.mid", "a b.mid"), (b"x\xffy.mid", os.fsdecode(b"x\xffy.mid")),
                        ("songs/über.mid", "songs/über.mid")]:
        assert seqmend.repair(data, name=name).findings[0].text.startswith(shown + ": ")


def test_results_survive_pickling():
    for data in (sound(), trailing_garbage() + sound(), b""):
        result = seqmend.repair(data)
        again = pickle.loads(pickle.dumps(result))
        assert again == result and again.findings == result.findings
        assert repr(again) == repr(result)


def test_extra_files_behind_the_data_are_handed_back_unchanged():
    second = sound(tracks=2)
    result = seqmend.repair(sound() + second)
    assert result.extras == [second]
    assert result.data == sound()
    assert [f.file for f in result.findings if f.code == "extra-file"] == ["extra1.mid"]


def test_repair_releases_the_gil():
    # About 4 MB of events: long enough that the main thread must get to run meanwhile.
    big = mb.header() + mb.track(NOTES * 500_000)
    done = threading.Event()
    ticks = 0

    def work():
        seqmend.repair(big)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    while not done.is_set():
        ticks += 1
    worker.join()
    assert ticks > 1000


def test_restore_line_ends_undoes_a_text_mode_transfer():
    data = sound(events=NOTES + LINE_FEEDS)
    assert b"\n" in data
    damaged = lf_to_crlf(data)
    restored = seqmend.restore_line_ends(damaged, name="t.mid")
    assert (restored.verdict, restored.data) == ("repaired", data)
    assert {f.code for f in restored.findings} == {"crlf-to-lf"}
    assert seqmend.restore_line_ends(data).data is data
    assert seqmend.repair(damaged).crlf_hint


class TestRepairFile:
    def test_writes_only_a_repaired_copy(self, tmp_path):
        good, bad = tmp_path / "good.mid", tmp_path / "bad.mid"
        good.write_bytes(sound())
        bad.write_bytes(without_end_of_track())
        assert seqmend.repair_file(good, tmp_path / "g.out").verdict == "sound"
        assert not (tmp_path / "g.out").exists()
        result = seqmend.repair_file(bad, tmp_path / "b.out")
        assert result.findings[0].text == f"{bad}: Missing end of track added."
        assert (tmp_path / "b.out").read_bytes() == result.data
        umask = os.umask(0o022)
        os.umask(umask)
        assert stat.S_IMODE(os.stat(tmp_path / "b.out").st_mode) == 0o666 & ~umask
        assert bad.read_bytes() == without_end_of_track()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["b.out", "bad.mid", "good.mid"]

    def test_refuses_every_way_back_to_the_input(self, tmp_path):
        song = tmp_path / "song.mid"
        song.write_bytes(without_end_of_track())
        os.link(song, tmp_path / "hard.mid")
        os.symlink(song, tmp_path / "soft.mid")
        (tmp_path / "sub").mkdir()
        for out in [song, str(song), tmp_path / "sub" / ".." / "song.mid", tmp_path / "hard.mid",
                    tmp_path / "soft.mid"]:
            with pytest.raises(ValueError):
                seqmend.repair_file(song, out)
        assert song.read_bytes() == without_end_of_track()

    def test_replaces_an_existing_output_and_writes_devices(self, tmp_path):
        song, out = tmp_path / "song.mid", tmp_path / "out.mid"
        song.write_bytes(trailing_garbage())
        out.write_bytes(b"old")
        assert seqmend.repair_file(song, out).data == out.read_bytes() == sound()
        assert seqmend.repair_file(song, os.devnull).verdict == "repaired"

    def test_misuse_raises(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            seqmend.repair_file(tmp_path / "missing.mid")
        with pytest.raises(IsADirectoryError):
            seqmend.repair_file(tmp_path)
