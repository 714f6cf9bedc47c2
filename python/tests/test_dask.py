"""The Dask recipe on a local cluster of two worker processes, over a few hundred damaged copies
of the corpus: its report against seqmend's own verdicts and findings."""
import json
import os
import pathlib

import pytest

import seqmend
from damage import CONTROL_OUT_OF_RANGE, damaged_copies, sound

distributed = pytest.importorskip("distributed")
import seqmend.dask  # noqa: E402  (needs dask)

# The local cluster's web framework warns of its own deprecated calls.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def test_dask_recipe_on_a_local_cluster(corpus, tmp_path):
    songs, clean, report = tmp_path / "songs", tmp_path / "clean", tmp_path / "report.jsonl"
    damaged_copies(corpus, songs, 300)
    (songs / "appended.mid").write_bytes(sound() + sound(tracks=2))  # one extra file behind
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        tally = seqmend.dask.repair_tree(songs, clean, report, partition_size=25)
    records = [json.loads(line) for line in report.read_text().splitlines()]
    assert len(records) == 301 == sum(tally.values())
    assert [record["path"] for record in records] == sorted(record["path"] for record in records)
    assert tally["repaired"] > 50 and tally["sound"] > 20
    extras = 0
    for record in records:
        assert list(record) == ["path", "size", "verdict", "exit_status", "messages", "output",
                                "extras", "ms"]
        own = seqmend.repair_file(record["path"])
        assert (record["verdict"], record["exit_status"], record["size"]) == \
            (own.verdict, int(not own.ok), os.path.getsize(record["path"]))
        messages = [{"text": f.text, "code": f.code, **f.values()} for f in own.findings]
        output = None
        if own.sound:
            messages.append({"text": f"{record['path']} is ok.", "code": "sound"})
        elif own.ok:
            output = str(clean / os.path.relpath(record["path"], songs))
            names = [output] + [f"{output}.extra{n}.mid" for n in range(1, len(own.extras) + 1)]
            assert [pathlib.Path(name).read_bytes() for name in names] == [own.data] + own.extras
            assert record["extras"] == names[1:]
            messages.append({"text": f"{record['path']} contains errors. Fixed output written to "
                                     f"{output}", "code": "repaired"})
            extras += len(own.extras)
        assert record["output"] == output
        assert record["messages"][:len(messages)] == messages
    assert extras > 0


@pytest.mark.parametrize("out", ["songs", "songs/clean", ".", "songs/../songs"])
def test_no_copy_takes_an_inputs_place(tmp_path, out):
    song = tmp_path / "songs" / "songs" / "a.mid"
    song.parent.mkdir(parents=True)
    song.write_bytes(CONTROL_OUT_OF_RANGE)
    with pytest.raises(ValueError):
        seqmend.dask.repair_tree(tmp_path / "songs", tmp_path / out, tmp_path / "r.jsonl")
    assert not (tmp_path / "r.jsonl").exists()
    # One file alone, with no check of the folders: its copy's place is refused.
    record = seqmend.dask.repair_record(str(song), song.parent, song.parent)
    assert (record["verdict"], record["output"]) == ("failed", None)
    assert record["messages"][-1]["text"] == f"{song}: Permission denied"
    # Without an output folder nothing is written, as with a check.
    record = seqmend.dask.repair_record(str(song), song.parent, None)
    assert (record["verdict"], record["output"]) == ("repaired", None)
    assert song.read_bytes() == CONTROL_OUT_OF_RANGE
