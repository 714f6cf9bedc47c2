"""Builds the seqmend package: the binding and the library's own sources, compiled into one
extension module. From a clone the sources are the repository's (../src/engine, ../include);
an sdist carries a copy of them in libseqmend/.

    /usr/bin/python3 -m pip install --no-index --no-build-isolation --no-deps ./python
"""
import glob
import os
import shutil

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup
from setuptools.command.sdist import sdist

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(HERE)
# The folders of the library's sources, below the repository or below the sdist's copy.
LIBRARY_FOLDERS = ["include", "src/engine"]


def library_root():
    """The repository when this is a clone; the sdist's copy otherwise."""
    if os.path.isfile(os.path.join(REPOSITORY, "include", "seqmend.h")):
        return REPOSITORY
    return os.path.join(HERE, "libseqmend")


def relative(path):
    # setuptools wants paths relative to this folder, without "..", in an sdist's file list;
    # the compiler takes any path.
    return os.path.relpath(path, HERE)


ROOT = library_root()
# Globbed at build time: the library's list of units changes, and all of them go in.
SOURCES = sorted(glob.glob(os.path.join(ROOT, "src", "engine", "*.cpp")))


class SdistWithLibrary(sdist):
    """Copies the library's sources into the sdist, so that it builds away from the clone."""

    def make_release_tree(self, base_dir, files):
        # The library's files reach the list through the extension's sources as ../ paths;
        # they go in below libseqmend/ instead.
        files = [name for name in files if not os.path.normpath(name).startswith("..")]
        super().make_release_tree(base_dir, files)
        for folder in LIBRARY_FOLDERS:
            source = os.path.join(ROOT, folder)
            shutil.copytree(source, os.path.join(base_dir, "libseqmend", folder),
                            ignore=shutil.ignore_patterns("CMakeLists.txt"), dirs_exist_ok=True)


ParallelCompile("SEQMEND_BUILD_JOBS", default=2).install()

extension = Pybind11Extension(
    "seqmend._seqmend",
    ["seqmend/_seqmend.cpp"] + [relative(source) for source in SOURCES],
    include_dirs=[os.path.join(ROOT, "include"), os.path.join(ROOT, "src", "engine")],
    # A changed header rebuilds the module as a changed source does.
    depends=sorted(glob.glob(os.path.join(ROOT, "include", "*.h")) +
                   glob.glob(os.path.join(ROOT, "src", "engine", "*.h"))),
    cxx_std=20,
)

setup(
    name="seqmend",
    version="1.16.0",
    description="Checks Standard MIDI Files for structural damage and repairs them in memory",
    long_description=open(os.path.join(HERE, "README.md"), encoding="utf-8").read(),
    long_description_content_type="text/markdown",
    license="see LICENSE in the repository",
    packages=["seqmend"],
    package_data={"seqmend": ["py.typed", "*.pyi"]},
    ext_modules=[extension],
    cmdclass={"build_ext": build_ext, "sdist": SdistWithLibrary},
    python_requires=">=3.8",
    zip_safe=False,
)
