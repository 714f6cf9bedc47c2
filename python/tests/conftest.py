"""What the tests share: the repository's byte builders, the external corpus and the built
programs to compare with."""
import os
import pathlib
import sys

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "tools"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

CORPUS = pathlib.Path(os.environ.get("SEQMEND_CORPUS", REPOSITORY.parent / "shared" / "corpus-ext"))


def corpus_files():
    """The corpus's MIDI files, sorted; empty when the corpus is absent."""
    if not CORPUS.is_dir():
        return []
    return sorted(path for path in CORPUS.rglob("*")
                  if path.is_file() and path.name != "MANIFEST.md")


def program(variable, name):
    """A built program: the path in the environment variable, else the release build's."""
    path = os.environ.get(variable) or str(REPOSITORY / "build-release" / name)
    if not os.access(path, os.X_OK):
        pytest.skip(f"{name} not built (set {variable})")
    return path


@pytest.fixture(scope="session")
def corpus():
    files = corpus_files()
    if not files:
        pytest.skip(f"no corpus at {CORPUS}")
    return files


@pytest.fixture(scope="session")
def seqmend_program():
    return program("SEQMEND_BIN", "seqmend")


@pytest.fixture(scope="session")
def eolmend_program():
    return program("EOLMEND_BIN", "eolmend")
