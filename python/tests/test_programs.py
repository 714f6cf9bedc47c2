"""The package against the command lines: for every file of the external corpus (and damaged
copies of it) the findings render to seqmend's and eolmend's lines, and the output and extra
files hold the same bytes."""
import os
import subprocess
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

import seqmend
from damage import damaged_copies, lf_to_crlf

HINT = ["if the results are not sufficient then try eolmend,",
        "because this file might contain cr/lf problems"]


def expected_lines(result, name, hint):
    lines = [f.text for f in result.findings]
    if result.verdict == "sound":
        lines.append(f"{name} is ok.")
    elif result.verdict == "repaired":
        lines.append(f"{name} contains errors. Fixed output written to out.mid")
        if hint and result.crlf_hint:
            lines += HINT
    return lines


def run_program(program, options, data, folder):
    """Runs a program on data written to in.mid in an empty folder of its own; returns its
    status, stdout lines, the output and the extra files."""
    folder.mkdir()
    (folder / "in.mid").write_bytes(data)
    run = subprocess.run([program, *options, "in.mid", "out.mid"], cwd=folder,
                         capture_output=True, check=False)
    out = folder / "out.mid"
    extras = []
    while (folder / f"extra{len(extras) + 1}.mid").exists():
        extras.append((folder / f"extra{len(extras) + 1}.mid").read_bytes())
    return (run.returncode, os.fsdecode(run.stdout).splitlines(),
            out.read_bytes() if out.exists() else None, extras)


def assert_same(program, options, result, data, folder, hint=True):
    status, lines, output, extras = run_program(program, options, data, folder)
    assert lines == expected_lines(result, "in.mid", hint)
    assert status == (1 if result.verdict == "failed" else 0)
    assert output == (result.data if result.verdict == "repaired" else None)
    assert extras == result.extras


@pytest.mark.parametrize("tracks_only, normalize", [(False, False), (True, False), (False, True),
                                                   (True, True)])
def test_repair_matches_seqmend_on_the_corpus(corpus, seqmend_program, tmp_path, tracks_only,
                                              normalize):
    options = ["-tracksonly"] * tracks_only + ["-normalize"] * normalize
    verdicts = set()
    for number, path in enumerate(corpus):
        data = path.read_bytes()
        result = seqmend.repair(data, tracks_only=tracks_only, normalize=normalize, name="in.mid")
        verdicts.add(result.verdict)
        assert_same(seqmend_program, options, result, data, tmp_path / str(number))
    assert verdicts == {"sound", "repaired", "failed"} or tracks_only


def test_repair_matches_seqmend_on_damaged_copies(corpus, seqmend_program, tmp_path):
    damaged_copies(corpus, tmp_path / "songs", 300)
    for number, path in enumerate(sorted((tmp_path / "songs").rglob("*.mid"))):
        data = path.read_bytes()
        result = seqmend.repair(data, name="in.mid")
        assert_same(seqmend_program, [], result, data, tmp_path / str(number))


def test_restore_matches_eolmend_on_the_corpus_and_its_damaged_copies(corpus, eolmend_program,
                                                                      tmp_path):
    restored = 0
    for number, path in enumerate(corpus):
        for kind, data in (("as-is", path.read_bytes()), ("crlf", lf_to_crlf(path.read_bytes()))):
            result = seqmend.restore_line_ends(data, name="in.mid")
            restored += result.verdict == "repaired"
            assert_same(eolmend_program, [], result, data, tmp_path / f"{number}-{kind}",
                        hint=False)
    assert restored > 10


def repair_all(files):
    return [seqmend.repair(data, name="song.mid") for data in files]


def test_threads_give_the_results_of_one_at_a_time(corpus):
    files = [path.read_bytes() for path in corpus] * 3
    alone = repair_all(files)
    with ThreadPoolExecutor(max_workers=4) as pool:
        together = list(pool.map(lambda i: seqmend.repair(files[i], name="song.mid"),
                                 range(len(files))))
    assert together == alone
    assert sum(r.verdict == "repaired" for r in alone) > 0


def test_results_cross_process_boundaries(corpus):
    files = [path.read_bytes() for path in corpus]
    with ProcessPoolExecutor(max_workers=2) as pool:
        remote = list(pool.map(repair_all, [files[:40], files[40:]]))
    assert remote[0] + remote[1] == repair_all(files)
