"""The Dask recipe on a local cluster of two worker processes, over a few hundred damaged copies
of the corpus: its report against seqmend's own verdicts and findings."""
import json
import random

import pytest

import seqmend
from damage import lf_to_crlf

distributed = pytest.importorskip("distributed")
import seqmend.dask  # noqa: E402  (needs dask)

REPORT_KEYS = ["path", "size", "verdict", "exit_status", "messages", "output", "extras", "ms"]


def damaged_copies(corpus, folder, count):
    """count files made from the corpus: some as they are, the rest cut short, with bytes
    flipped or inserted, or sent through a text-mode transfer."""
    chance = random.Random(20)
    sources = [path.read_bytes() for path in corpus]
    for number in range(count):
        data = bytearray(sources[number % len(sources)])
        kind = number // len(sources) % 5
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
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(bytes(data))


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
