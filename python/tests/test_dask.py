"""The Dask recipe on a local cluster of two worker processes, over a few hundred damaged copies
of the corpus: its report against seqmend's own verdicts and findings."""
import json
import os

import pytest

import seqmend
from damage import damaged_copies, sound

distributed = pytest.importorskip("distributed")
import seqmend.dask  # noqa: E402  (needs dask)

# The local cluster's web framework warns of its own deprecated calls.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

REPORT_KEYS = ["path", "size", "verdict", "exit_status", "messages", "output", "extras", "ms"]


def test_dask_recipe_on_a_local_cluster(corpus, tmp_path):
    songs, clean, report = tmp_path / "songs", tmp_path / "clean", tmp_path / "report.jsonl"
    songs.mkdir()
    damaged_copies(corpus, songs, 300)
    (songs / "appended.mid").write_bytes(sound() + sound(tracks=2))  # one extra file behind
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        tally = seqmend.dask.repair_tree(songs, clean, report, partition_size=25)
    records = [json.loads(line) for line in report.read_text().splitlines()]
    assert len(records) == 301 == sum(tally.values())
    assert tally["repaired"] > 50 and tally["sound"] > 20
    extras = 0
    for record in records:
        assert list(record) == REPORT_KEYS
        own = seqmend.repair_file(record["path"])
        assert (record["verdict"], record["exit_status"]) == \
            (own.verdict, 1 if own.verdict == "failed" else 0)
        assert record["messages"][:len(own.findings)] == \
            [{"text": f.text, "code": f.code, **f.values()} for f in own.findings]
        if own.verdict == "repaired":
            output = str(clean / os.path.relpath(record["path"], songs))
            assert record["output"] == output
            assert record["messages"][len(own.findings)]["text"] == \
                f"{record['path']} contains errors. Fixed output written to {output}"
            numbers = range(1, len(own.extras) + 1)
            assert record["extras"] == [f"{output}.extra{n}.mid" for n in numbers]
            for name, data in zip([output] + record["extras"], [own.data] + own.extras):
                with open(name, "rb") as copy:
                    assert copy.read() == data
            extras += len(own.extras)
        else:
            assert record["output"] is None
    assert extras > 0


@pytest.mark.parametrize("root, out", [("songs", "songs"), ("songs", "songs/clean"),
                                       ("songs", "."), ("songs", "songs/../songs")])
def test_output_folder_overlapping_the_tree_is_refused(tmp_path, root, out):
    (tmp_path / "songs" / "songs").mkdir(parents=True)
    (tmp_path / "songs" / "songs" / "a.mid").write_bytes(sound() + b"garbage")
    with pytest.raises(ValueError):
        seqmend.dask.repair_tree(tmp_path / root, tmp_path / out, tmp_path / "r.jsonl")
    assert not (tmp_path / "r.jsonl").exists()


def test_a_copy_never_takes_the_inputs_place(tmp_path):
    song = tmp_path / "a.mid"
    song.write_bytes(sound() + b"garbage")
    record = seqmend.dask.repair_record(str(song), tmp_path, tmp_path)
    assert (record["verdict"], record["output"]) == ("failed", None)
    assert record["messages"][-1]["text"] == f"{song}: Permission denied"
    assert song.read_bytes() == sound() + b"garbage"
