#!/usr/bin/env python3
"""Every failing system call: runs each program of PROGRAMS once cleanly on each of its inputs,
counts its system calls of every kind in SWEPT, then runs it again once for every call of those
kinds, with that one call failing (strace's fault injection), for each errno listed for the kind.

Every run must leave its input as it was; a run that exits 0 must leave exactly the files of the
clean run (the output and the extra files, byte for byte); a run that exits 1 must say something
on standard output or standard error, and a run that could not open its output (it says nothing
but the report for the output) must not leave one; no run may exit otherwise. After a fatal read
or write error the output stays as far as it was written, and that is reported. The calls the
dynamic loader makes before the program starts are not swept: a program cannot answer for them.

usage: sweep.py [--jobs N] PROGRAM=PATH...   (for example seqmend=build/seqmend)
Prints one line per failing run and a count; exits 1 on any failure, 77 when strace is missing.
"""
import argparse
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from midi_bytes import END_OF_TRACK, GM_ON, header, meta, sysex, track, u32  # noqa: E402

# The kinds of calls swept, each with the errors it fails with.
SWEPT = {
    "read": ["EIO"],
    "write": ["EIO", "ENOSPC"],
    "lseek": ["ESPIPE"],
    "close": ["EIO"],
    "openat": ["EACCES", "ENOENT"],
    "newfstatat": ["EIO"],
    "fstat": ["EIO"],
    "ftruncate": ["EIO"],
    "fcntl": ["EINVAL"],
    "unlink": ["EACCES"],
}


def notes(count, channel=0):
    return b"".join(bytes([0x00, 0x90 | channel, 0x3C + i % 12, 0x40, 0x60, 0x80 | channel,
                           0x3C + i % 12, 0x00]) for i in range(count))


def sound(tracks=2, count=40):
    return header(1, tracks) + b"".join(track(notes(count, t) + END_OF_TRACK)
                                        for t in range(tracks))


def damaged(size):
    """Tracks of every kind of event, the long ones streamed, then damaged: wrong lengths, lost
    ends of track, garbage between tracks, an incomplete system exclusive event. Tracks of about
    100 KB, so that every stream buffer is filled and emptied many times."""
    body = (GM_ON + notes(2) + sysex(bytes(3000) + b"\xf7", delta=0x20) + meta(0x01, bytes(5000))
            + notes(12000) + sysex(b"\x7e\x01\x02", delta=0) + notes(10))
    parts = [header(1, 1)]
    i = 0
    while sum(map(len, parts)) < size:
        events = body + (END_OF_TRACK if i % 3 else b"")
        parts.append(track(events, length=len(events) + (700 if i % 4 == 1 else 0)))
        if i % 5 == 2:
            parts.append(b"\x95garbage" * 40)
        i += 1
    return b"".join(parts)


def inputs():
    """(name, bytes) of the inputs of seqmend."""
    repaired = header(1, 3) + track(notes(30) + END_OF_TRACK, length=100) + track(notes(30))
    lost_head = header(0, 1) + u32(0) + notes(30) + END_OF_TRACK
    return [
        ("repaired.mid", repaired),
        ("appended.mid", sound() + sound(3)),
        ("damaged-2M.mid", damaged(2 << 20)),
        ("sound.mid", sound(4, 4000)),
        ("lost-head.mid", lost_head),
    ]


def eolmend_inputs():
    """(name, bytes) of the inputs of eolmend: both kinds of damage of a text-mode transfer, one
    of them over several stream buffers, and a sound file."""
    lines = header(0, 1) + track(meta(0x01, b"a\nb\nc") + notes(150) + END_OF_TRACK)
    long_lines = header(0, 1) + track(meta(0x01, b"a\nb\n" * 1000) + notes(40000) + END_OF_TRACK)
    crlf = header(0, 1) + track(meta(0x01, b"a\r\nb") + notes(1) + END_OF_TRACK)
    return [
        ("lf-to-crlf.mid", lines.replace(b"\n", b"\r\n")),
        ("lf-to-crlf-300K.mid", long_lines.replace(b"\n", b"\r\n")),
        ("crlf-to-lf.mid", crlf.replace(b"\r\n", b"\n")),
        ("sound.mid", sound()),
    ]


# (program, arguments before the input and the output, inputs); seqmend-batch joins here once it
# exists.
PROGRAMS = [
    ("seqmend", [], inputs),
    ("seqmend", ["-tracksonly"], lambda: inputs()[2:3]),
    ("eolmend", [], eolmend_inputs),
]


def digest(data):
    return hashlib.sha256(data).hexdigest()


def folder_files(folder, skip):
    return {name: digest((folder / name).read_bytes())
            for name in sorted(os.listdir(folder)) if name != skip}


def run(binary, arguments, name, data, scratch, strace):
    """Runs binary in a fresh folder holding the input; returns (status, stdout, stderr, files
    left beside the input, whether the input is unchanged)."""
    folder = pathlib.Path(tempfile.mkdtemp(dir=scratch))
    (folder / name).write_bytes(data)
    result = subprocess.run(strace + [binary, *arguments, name, "out.mid"], cwd=folder,
                            capture_output=True, timeout=120)
    intact = digest((folder / name).read_bytes()) == digest(data)
    files = folder_files(folder, name)
    shutil.rmtree(folder)
    return result.returncode, result.stdout, result.stderr, files, intact


def count_calls(binary, arguments, name, data, scratch):
    """Per swept kind, the number of calls of the clean run and how many of them the loader made
    before the program opened its input."""
    with tempfile.NamedTemporaryFile(dir=scratch, suffix=".trace") as trace:
        strace = ["strace", "-f", "-qq", "-o", trace.name, "-e", "trace=" + ",".join(SWEPT)]
        clean = run(binary, arguments, name, data, scratch, strace)
        total = dict.fromkeys(SWEPT, 0)
        startup = None
        for line in pathlib.Path(trace.name).read_text(errors="replace").splitlines():
            call = re.match(r"(?:\d+ +)?(\w+)\(", line)
            if call is None or call.group(1) not in total:
                continue
            if startup is None and call.group(1) == "openat" and f'"{name}"' in line:
                startup = dict(total)
            total[call.group(1)] += 1
    return clean, total, startup or dict.fromkeys(SWEPT, 0)


def verdict(clean, failed):
    """What is wrong with a run whose call failed, or None."""
    status, out, err, files, intact = failed
    if not intact:
        return "the input was changed"
    if status == 0:
        return None if files == clean[3] else f"exit 0 with other files: {sorted(files)}"
    if status == 1:
        if not (out.strip() or err.strip()):
            return "exit 1 without a message"
        if "out.mid" in files and not out and err.startswith(b"out.mid: ") and err.count(b"\n") == 1:
            return "exit 1 leaving the output it could not open"
        return None
    return f"exit {status}: {err.decode(errors='replace').strip()[-200:]}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("programs", nargs="+", metavar="PROGRAM=PATH")
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    binaries = dict(p.split("=", 1) for p in a.programs)
    if shutil.which("strace") is None or subprocess.run(
            ["strace", "-qq", "-o", "/dev/null", "true"]).returncode != 0:
        print("strace not installed or not allowed to trace: sweep skipped")
        return 77
    scratch = tempfile.mkdtemp(prefix="seqmend-sweep-")
    jobs = []
    try:
        for program, arguments, make_inputs in PROGRAMS:
            if program not in binaries:
                continue
            binary = os.path.abspath(binaries[program])
            for name, data in make_inputs():
                clean, total, startup = count_calls(binary, arguments, name, data, scratch)
                if clean[0] != 0:
                    print(f"FAIL {program} {' '.join(arguments)} {name}: clean run exited "
                          f"{clean[0]}")
                    return 1
                for call, errors in SWEPT.items():
                    for k in range(startup[call] + 1, total[call] + 1):
                        for error in errors:
                            jobs.append((program, binary, arguments, name, data, clean,
                                         f"{call}:error={error}:when={k}"))

        def sweep(job):
            program, binary, arguments, name, data, clean, injected = job
            strace = ["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                      "trace=" + injected.split(":")[0], "-e", "inject=" + injected]
            failed = run(binary, arguments, name, data, scratch, strace)
            return job, verdict(clean, failed)

        failures = 0
        with ThreadPoolExecutor(a.jobs) as pool:
            for (program, _, arguments, name, _, _, injected), problem in pool.map(sweep, jobs):
                if problem is not None:
                    failures += 1
                    print(f"FAIL {program} {' '.join(arguments)} {name} {injected}: {problem}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{len(jobs) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
