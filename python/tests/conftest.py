"""What the tests share: the byte builders, the external corpus and the programs to compare with."""
import os
import pathlib
import sys

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path[:0] = [str(REPOSITORY / "tools"), str(pathlib.Path(__file__).resolve().parent)]
CORPUS = pathlib.Path(os.environ.get("SEQMEND_CORPUS", REPOSITORY.parent / "shared" / "corpus-ext"))


@pytest.fixture(scope="session")
def corpus():
    files = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name != "MANIFEST.md")
    return files or pytest.skip(f"no corpus at {CORPUS}")


@pytest.fixture(scope="session")
def programs():
    """seqmend and eolmend: the paths in SEQMEND_BIN and EOLMEND_BIN, else the release build's."""
    return {name: os.environ.get(f"{name.upper()}_BIN") or str(REPOSITORY / "build-release" / name)
            for name in ("seqmend", "eolmend")}
