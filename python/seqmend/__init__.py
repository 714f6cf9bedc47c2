"""seqmend: checks Standard MIDI Files for structural damage and repairs them, in memory.

    >>> import seqmend
    >>> result = seqmend.repair(data)          # data: bytes, bytearray or memoryview
    >>> result.verdict                          # "sound", "repaired" or "failed"
    >>> result.data                             # the repaired file (the input itself if sound)
    >>> [f.text for f in result.findings]       # the lines the seqmend command prints

A damaged file is not an exception: its verdict says what became of it, and its findings say
what was wrong, each with a stable code (the codes of seqmend-batch's report) and its values.
Exceptions are kept for misuse: TypeError for data that is not bytes-like, OSError (such as
FileNotFoundError) for a file that cannot be read or written.

The repair runs with the GIL released, so threads repair files at once, and every result can be
pickled, so process pools, joblib and Dask can send results between processes.

Functions:
    repair(data, *, tracks_only=False, normalize=False, name="<data>") -> Repair
    repair_file(path, out=None, *, tracks_only=False, normalize=False) -> Repair
    restore_line_ends(data, *, name="<data>") -> Repair
"""

from __future__ import annotations

import os
import secrets
import stat
from typing import List, Optional, Union

from . import _seqmend

__all__ = [
    "Finding",
    "Repair",
    "repair",
    "repair_file",
    "restore_line_ends",
    "SOUND",
    "REPAIRED",
    "FAILED",
    "__version__",
]

__version__: str = _seqmend.version()

SOUND = "sound"
REPAIRED = "repaired"
FAILED = "failed"

BytesLike = Union[bytes, bytearray, memoryview]

_FIELDS = ("code", "text", "track", "value", "byte", "offset", "count", "tag", "file")


class Finding:
    """One thing a repair found or did.

    Attributes:
        code:   the stable name of the finding, such as "track-length-updated"; a code is never
                renamed or given another meaning (the codes of seqmend-batch's report).
        text:   the line the seqmend command prints for it, without the newline, beginning with
                the input's name (the `name` given to repair(), "<data>" by default; the path for
                repair_file()).
        track:  the track, numbered from 1 (0: the header chunk), or None.
        value:  a header field's value, or None.
        byte:   a byte's value, or None.
        offset: a byte offset in the input, or None.
        count:  a number of bytes or tracks, or None.
        tag:    a chunk's tag, such as "MTrk", or None.
        file:   the name an extra file takes ("extra1.mid"), or None.
    Only the values the finding's line shows are set; the others are None.
    """

    __slots__ = _FIELDS

    def __init__(self, code: str, text: str, track: Optional[int] = None,
                 value: Optional[int] = None, byte: Optional[int] = None,
                 offset: Optional[int] = None, count: Optional[int] = None,
                 tag: Optional[str] = None, file: Optional[str] = None) -> None:
        self.code = code
        self.text = text
        self.track = track
        self.value = value
        self.byte = byte
        self.offset = offset
        self.count = count
        self.tag = tag
        self.file = file

    def values(self) -> dict:
        """The values this finding carries (those that are not None), by name."""
        return {key: getattr(self, key) for key in _FIELDS[2:] if getattr(self, key) is not None}

    def __reduce__(self):
        return (Finding, tuple(getattr(self, key) for key in _FIELDS))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Finding):
            return NotImplemented
        return all(getattr(self, key) == getattr(other, key) for key in _FIELDS)

    def __hash__(self) -> int:
        return hash(tuple(getattr(self, key) for key in _FIELDS))

    def __repr__(self) -> str:
        values = "".join(f", {key}={value!r}" for key, value in self.values().items())
        return f"Finding({self.code!r}{values})"


class Repair:
    """The result of one repair or restoration.

    Attributes:
        verdict:       "sound" (nothing to repair), "repaired" or "failed" (no MIDI data that
                       could be treated; the findings say why).
        data:          the repaired file; the input's own bytes when sound (the very object when
                       the input was bytes); b"" when failed.
        findings:      a list of Finding, in the order they were made.
        extras:        a list of bytes: further MIDI files found behind the data, unchanged.
        crlf_hint:     True when the file was not sound and holds a CR LF pair after its first
                       byte: the damage may be a text-mode transfer's, which
                       restore_line_ends() undoes.
        failed_stream: None, or what failed: "input", "output", "extra" or "memory".
        error:         the system's error number of that failure, 0 for none.
    """

    __slots__ = ("verdict", "data", "findings", "extras", "crlf_hint", "failed_stream", "error")

    def __init__(self, verdict: str, data: bytes, findings: List[Finding], extras: List[bytes],
                 crlf_hint: bool = False, failed_stream: Optional[str] = None,
                 error: int = 0) -> None:
        self.verdict = verdict
        self.data = data
        self.findings = findings
        self.extras = extras
        self.crlf_hint = crlf_hint
        self.failed_stream = failed_stream
        self.error = error

    @property
    def sound(self) -> bool:
        """True when nothing had to be repaired."""
        return self.verdict == SOUND

    @property
    def ok(self) -> bool:
        """True when the data is usable: sound or repaired."""
        return self.verdict != FAILED

    @property
    def codes(self) -> List[str]:
        """The codes of the findings, in order."""
        return [finding.code for finding in self.findings]

    def __reduce__(self):
        return (Repair, (self.verdict, self.data, self.findings, self.extras, self.crlf_hint,
                         self.failed_stream, self.error))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Repair):
            return NotImplemented
        return self.__reduce__()[1] == other.__reduce__()[1]

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (f"Repair(verdict={self.verdict!r}, {len(self.data)} bytes, "
                f"{len(self.findings)} findings, {len(self.extras)} extras)")


# repair() and restore_line_ends() are the compiled module's own: they fill these classes'
# slots directly, so that a call holds the GIL as briefly as it can (see _seqmend.cpp).
_seqmend.use_classes(Repair, Finding)

repair = _seqmend.repair
restore_line_ends = _seqmend.restore_line_ends


def _same_file(path: Union[str, os.PathLike], other: Union[str, os.PathLike]) -> bool:
    try:
        return os.path.samefile(path, other)
    except OSError:  # a missing input is reported when it is opened
        return False


def _write_new(out: Union[str, os.PathLike], data: bytes) -> None:
    """Writes data to out whole: through a new file beside it, renamed over out at the end, so
    that an existing file is replaced only by a complete copy. An existing device (/dev/null) is
    written in place; a folder, FIFO or socket is refused."""
    try:
        mode = os.stat(out).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        if stat.S_ISCHR(mode):
            with open(out, "wb") as device:
                device.write(data)
            return
        raise IsADirectoryError(21, "not a regular file", os.fspath(out)) \
            if stat.S_ISDIR(mode) else OSError(22, "not a regular file", os.fspath(out))
    folder = os.path.dirname(os.path.abspath(out))
    # Created with mode 0666 for the umask to take its part, as any new file is; the process's
    # umask itself is never touched, since other threads may be creating files.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | \
        getattr(os, "O_BINARY", 0)
    while True:
        scratch = os.path.join(folder, f".seqmend-{secrets.token_hex(8)}.mid")
        try:
            fd = os.open(scratch, flags, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
        os.replace(scratch, out)
    except BaseException:
        try:
            os.unlink(scratch)
        except OSError:
            pass
        raise


def repair_file(path: Union[str, os.PathLike], out: Optional[Union[str, os.PathLike]] = None, *,
                tracks_only: bool = False, normalize: bool = False) -> Repair:
    """Reads the file at path and repairs it; the findings' texts begin with path, as the
    seqmend command prints them.

    When out is given and the file was repaired, the repaired copy is written to out (a
    complete copy replaces an existing file; nothing is written for a sound or failed file).
    The input is never written: an out that leads to the input file itself (the same name, a
    link, another path to it) raises ValueError before anything is read or written. The extra
    files found behind the data are in the result's extras; they are not written.

    Raises FileNotFoundError for a missing file and other OSErrors as reading or writing fail.
    """
    if out is not None and (os.fspath(out) == os.fspath(path) or
                            (os.path.exists(out) and _same_file(path, out))):
        raise ValueError(f"{os.fspath(out)!r} is the input file; the input is never written")
    with open(path, "rb") as stream:
        data = stream.read()
    result = repair(data, tracks_only=tracks_only, normalize=normalize, name=path)
    if out is not None and result.verdict == REPAIRED:
        _write_new(out, result.data)
    return result
