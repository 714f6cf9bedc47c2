"""Repairs a tree of MIDI files on a Dask cluster and writes seqmend-batch's report.

    from distributed import Client, LocalCluster
    import seqmend.dask

    with LocalCluster(n_workers=8, processes=True) as cluster, Client(cluster):
        tally = seqmend.dask.repair_tree("songs", "clean", "report.jsonl")

Every file below the tree goes through seqmend.repair_file on a worker. A repaired file's copy
is written to the same path below the output folder, its extra files beside it as
NAME.extraN.mid, as seqmend-batch --out does; sound and failed files get no copy. The report
has one JSON object per file with seqmend-batch's keys, in its order: path, size, verdict,
exit_status, messages, output, extras, ms. Dask (python3-distributed) is needed only here.
"""

from __future__ import annotations

import errno
import json
import os
import time
from collections import Counter
from typing import Dict, Iterable, List, Optional, Union

from . import REPAIRED, SOUND, _write_new, repair_file

PathLike = Union[str, os.PathLike]

# Partitions computed at once by repair_tree; enough to keep every worker of a large cluster busy.
WAVE = 256

# The two lines seqmend prints after a repaired file's verdict when it holds a CR LF pair.
CRLF_HINT = ("if the results are not sufficient then try eolmend,\n"
             "because this file might contain cr/lf problems")


def list_files(root: PathLike) -> List[str]:
    """Every regular file below root, sorted, as paths that begin with root. Symbolic links
    are not followed."""
    found = []
    for folder, subfolders, names in os.walk(root):
        subfolders.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found.append(path)
    return found


def repair_record(path: str, root: PathLike, out_dir: Optional[PathLike],
                  tracks_only: bool = False, normalize: bool = False) -> Dict:
    """Repairs one file and returns its report line as a dict. The copy goes to out_dir with
    the file's path below root (None: nothing is written, as with seqmend-batch --check).
    A copy whose name leads to the input itself is refused; keeping out_dir apart from root,
    which repair_tree checks, is the caller's part."""
    start = time.perf_counter()
    record: Dict = {"path": path, "size": None, "verdict": "failed", "exit_status": 1,
                    "messages": [], "output": None, "extras": []}
    output = None
    if out_dir is not None:
        output = os.path.join(os.fspath(out_dir), os.path.relpath(path, root))
    try:
        record["size"] = os.path.getsize(path)
        result = repair_file(path, tracks_only=tracks_only, normalize=normalize)
    except OSError as error:
        text = error.strerror or str(error)
        record["messages"].append({"text": f"{path}: {text}", "code": "system-error",
                                   "file": path, "error": text})
        record["ms"] = _milliseconds(start)
        return record
    messages = [{"text": finding.text, "code": finding.code, **finding.values()}
                for finding in result.findings]
    record["verdict"] = result.verdict
    if result.verdict == SOUND:
        record["exit_status"] = 0
        messages.append({"text": f"{path} is ok.", "code": "sound"})
    elif result.verdict == REPAIRED:
        shown = output if output is not None else "/dev/null"
        try:
            if output is not None:
                _place(output, result.data, path)
                record["output"] = output
                for number, extra in enumerate(result.extras, 1):
                    _place(f"{output}.extra{number}.mid", extra, path)
                    record["extras"].append(f"{output}.extra{number}.mid")
            record["exit_status"] = 0
            messages.append({"text": f"{path} contains errors. Fixed output written to {shown}",
                             "code": "repaired"})
            if result.crlf_hint:
                messages.append({"text": CRLF_HINT, "code": "crlf-hint"})
        except OSError as error:
            record["verdict"] = "failed"
            text = error.strerror or str(error)
            name = error.filename or shown
            messages.append({"text": f"{name}: {text}", "code": "system-error", "file": name,
                             "error": text})
    record["messages"] = messages
    record["ms"] = _milliseconds(start)
    return record


def _overlap(first: str, second: str) -> bool:
    """Whether one folder is the other or lies inside it."""
    return os.path.commonpath([first, second]) in (first, second)


def _milliseconds(start: float) -> float:
    return round((time.perf_counter() - start) * 1000, 3)


def _place(path: str, data: bytes, source: str) -> None:
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    if os.path.exists(path) and os.path.samefile(path, source):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    _write_new(path, data)


def repair_paths(paths: Iterable[str], root: PathLike, out_dir: Optional[PathLike], *,
                 tracks_only: bool = False, normalize: bool = False, partition_size: int = 64):
    """A dask.bag of report records, one per path, computed lazily on the current scheduler
    (a distributed Client when one is active)."""
    import dask.bag

    paths = list(paths)
    bag = dask.bag.from_sequence(paths, partition_size=max(1, partition_size))
    return bag.map(repair_record, os.fspath(root),
                   None if out_dir is None else os.fspath(out_dir), tracks_only, normalize)


def repair_tree(root: PathLike, out_dir: Optional[PathLike], report: PathLike, *,
                tracks_only: bool = False, normalize: bool = False,
                partition_size: int = 64) -> Counter:
    """Repairs every file below root on the current Dask scheduler, writes the copies below
    out_dir (None: none) and the report to `report` as JSON Lines, in the order of the paths.
    Returns the count of each verdict.

    The output folder and root may not lie one inside the other (nor be one folder): no copy
    can take an input's place.
    """
    if out_dir is not None and _overlap(os.path.realpath(root), os.path.realpath(out_dir)):
        raise ValueError(f"{os.fspath(out_dir)!r} and {os.fspath(root)!r} overlap: "
                         "a copy could take an input's place")
    import dask

    partitions = repair_paths(list_files(root), root, out_dir, tracks_only=tracks_only,
                              normalize=normalize, partition_size=partition_size).to_delayed()
    tally = Counter()
    with open(report, "w", encoding="utf-8", errors="surrogateescape") as stream:
        # A wave of partitions at a time: the records of a million files never sit in this
        # process at once, and the report keeps the order of the paths.
        for start in range(0, len(partitions), WAVE):
            for records in dask.compute(*partitions[start:start + WAVE]):
                for record in records:
                    tally[record["verdict"]] += 1
                    line = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
                    stream.write(line + "\n")
    return tally
