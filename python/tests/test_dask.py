"""The Dask recipe on a local cluster of two worker processes, over a few hundred damaged copies
of the corpus: its report against seqmend's own verdicts and findings."""
import json

import pytest

import seqmend
from damage import damaged_copies

distributed = pytest.importorskip("distributed")
import seqmend.dask  # noqa: E402  (needs dask)

# The local cluster's web framework warns of its own deprecated calls.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

REPORT_KEYS = ["path", "size", "verdict", "exit_status", "messages", "output", "extras", "ms"]


def test_dask_recipe_on_a_local_cluster(corpus, tmp_path):
    songs, clean, report = tmp_path / "songs", tmp_path / "clean", tmp_path / "report.jsonl"
    songs.mkdir()
    damaged_copies(corpus, songs, 300)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        tally = seqmend.dask.repair_tree(songs, clean, report, partition_size=25)
    records = [json.loads(line) for line in report.read_text().splitlines()]
    assert len(records) == 300 == sum(tally.values())
    assert tally["repaired"] > 50 and tally["sound"] > 20
    for record in records:
        assert list(record) == REPORT_KEYS
        own = seqmend.repair_file(record["path"])
        assert record["verdict"] == own.verdict
        assert [m["text"] for m in record["messages"]][:len(own.findings)] == \
            [f.text for f in own.findings]
        if own.verdict == "repaired":
            with open(record["output"], "rb") as copy:
                assert copy.read() == own.data
            assert len(record["extras"]) == len(own.extras)
        else:
            assert record["output"] is None


def test_output_folder_inside_the_tree_is_refused(tmp_path):
    with pytest.raises(ValueError):
        seqmend.dask.repair_tree(tmp_path, tmp_path / "clean", tmp_path / "r.jsonl")
