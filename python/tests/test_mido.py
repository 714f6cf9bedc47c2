"""In front of a loader: files that mido refuses load once seqmend has repaired them."""
import io

import pytest

import seqmend

mido = pytest.importorskip("mido")


def mido_loads(data):
    try:
        mido.MidiFile(file=io.BytesIO(data))
        return True
    except Exception:  # mido raises several kinds for damaged files; any of them is a refusal
        return False


def test_corpus_files_mido_refuses_load_after_repair(corpus):
    repaired, still = 0, []
    for path in corpus:
        data = path.read_bytes()
        normal = seqmend.repair(data, normalize=True)
        assert not normal.ok or mido_loads(normal.data), path.name
        result = seqmend.repair(data)
        if result.verdict == "repaired" and not mido_loads(data):
            repaired += 1
            still += [] if mido_loads(result.data) else [path.name]
    assert repaired >= 10
    # Its polyphonic pressure of 0xF9 is a value the ordinary repair does not check, in the
    # library as in the command line; mido refuses it, and loads the normal form.
    assert still == ["Issue104_Bizarre_Love_Triangle2.mid"]
