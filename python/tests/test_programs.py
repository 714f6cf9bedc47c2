"""The package against the command lines: for every file of the external corpus and damaged
copies of it, the findings render to seqmend's and eolmend's lines, and the output and extra
files hold the same bytes."""
import os
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

import seqmend
from damage import damaged_copies, sound

HINT = ["if the results are not sufficient then try eolmend,",
        "because this file might contain cr/lf problems"]


@pytest.fixture(scope="module")
def inputs(corpus, tmp_path_factory):
    """The corpus's files, 100 damaged copies of them and a file with another behind it."""
    folder = tmp_path_factory.mktemp("songs")
    damaged_copies(corpus, folder, 100)
    files = [path.read_bytes() for path in corpus + sorted(folder.rglob("*.mid"))]
    return files + [sound() + sound(tracks=2)]


def run_program(program, options, data, folder):
    """Runs a program on data as in.mid in a folder of its own: status, lines, output, extras."""
    folder.mkdir()
    (folder / "in.mid").write_bytes(data)
    run = subprocess.run([program, *options, "in.mid", "out.mid"], cwd=folder, capture_output=True)
    out, extras = folder / "out.mid", sorted(folder.glob("extra*.mid"), key=lambda p: len(p.name))
    return (run.returncode, os.fsdecode(run.stdout).splitlines(),
            out.read_bytes() if out.exists() else None, [p.read_bytes() for p in extras])


@pytest.mark.parametrize("program, options", [
    ("seqmend", []), ("seqmend", ["-tracksonly"]), ("seqmend", ["-normalize"]),
    ("seqmend", ["-tracksonly", "-normalize"]), ("eolmend", [])])
def test_results_match_the_command_line(inputs, programs, tmp_path, program, options):
    verdicts = []
    for number, data in enumerate(inputs):
        if program == "eolmend":
            result = seqmend.restore_line_ends(data, name="in.mid")
        else:
            result = seqmend.repair(data, tracks_only="-tracksonly" in options,
                                    normalize="-normalize" in options, name="in.mid")
        verdicts.append(result.verdict)
        lines = [f.text for f in result.findings]
        if result.verdict == "sound":
            lines.append("in.mid is ok.")
        elif result.verdict == "repaired":
            lines += ["in.mid contains errors. Fixed output written to out.mid"]
            lines += HINT * result.crlf_hint
        expected = (int(result.verdict == "failed"), lines,
                    result.data if result.verdict == "repaired" else None, result.extras)
        assert run_program(programs[program], options, data, tmp_path / str(number)) == expected
    assert set(verdicts) == {"sound", "repaired", "failed"} and verdicts.count("repaired") > 10


def test_threads_give_the_results_of_one_at_a_time(inputs):
    alone = [seqmend.repair(data) for data in inputs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(seqmend.repair, inputs * 2)) == alone * 2
