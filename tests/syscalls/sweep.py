#!/usr/bin/env python3
# Every failing system call: runs each program of programs() once cleanly on each of its inputs,
# counts its system calls of every kind in SWEPT, then runs it again once for every call of those
# kinds, with that one call failing (strace's fault injection), for each errno listed for the kind.
#
# Every run must leave its input as it was; a run that exits 0 must leave exactly the files of the
# clean run (the output and the extra files, byte for byte); a run that exits 1 must say something
# on standard output or standard error, and a run that could not open its output (it says nothing
# but the report for the output) must not leave one; no run may exit otherwise. The calls the
# dynamic loader makes before the program names its input are not swept: a program cannot answer
# for them.
#
# usage: sweep.py PROGRAM=PATH...   (for example seqmend=build/seqmend); two runs at a time
# Prints one line per failing run and a count; exits 1 on any failure, 77 when strace is missing.
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
SWEPT = {"read": ["EIO"], "write": ["EIO", "ENOSPC"], "lseek": ["ESPIPE"], "close": ["EIO"],
         "openat": ["EACCES", "ENOENT"], "newfstatat": ["EIO"], "fstat": ["EIO"],
         "ftruncate": ["EIO"], "fcntl": ["EINVAL"], "unlink": ["EACCES"]}


def notes(count):
    return bytes.fromhex("00903C40 60803C00") * count


def sound(tracks=2, count=40):
    return header(1, tracks) + track(notes(count) + END_OF_TRACK) * tracks


def damaged(size):
    # Tracks of every kind of event, the long ones streamed, then damaged: wrong lengths, lost
    # ends of track, garbage between tracks, an incomplete system exclusive event. Tracks of about
    # 100 KB, so that every stream buffer is filled and emptied many times.
    body = (GM_ON + notes(2) + sysex(bytes(3000) + b"\xf7", delta=0x20) + meta(0x01, bytes(5000))
            + notes(12000) + sysex(b"\x7e\x01\x02", delta=0) + notes(10))
    parts, i = [header(1, 1)], 0
    while sum(map(len, parts)) < size:
        events = body + (END_OF_TRACK if i % 3 else b"")
        parts.append(track(events, length=len(events) + (700 if i % 4 == 1 else 0)))
        parts += [b"\x95garbage" * 40] if i % 5 == 2 else []
        i += 1
    return b"".join(parts)


def programs():
    """(program, arguments before the input and the output, [(input name, bytes)])."""
    seqmend = [
        ("repaired.mid", header(1, 3) + track(notes(30) + END_OF_TRACK, length=100)
         + track(notes(30))),
        ("appended.mid", sound() + sound(3)),
        ("damaged-2M.mid", damaged(2 << 20)),
        ("sound.mid", sound(4, 4000)),
        ("lost-head.mid", header(0, 1) + u32(0) + notes(30) + END_OF_TRACK),
    ]
    # eolmend: both kinds of damage of a text-mode transfer, one over several stream buffers.
    lines = header(0, 1) + track(meta(0x01, b"a\nb\nc") + notes(150) + END_OF_TRACK)
    long_lines = header(0, 1) + track(meta(0x01, b"a\nb\n" * 1000) + notes(40000) + END_OF_TRACK)
    crlf = header(0, 1) + track(meta(0x01, b"a\r\nb") + notes(1) + END_OF_TRACK)
    eolmend = [("lf-to-crlf.mid", lines.replace(b"\n", b"\r\n")),
               ("lf-to-crlf-300K.mid", long_lines.replace(b"\n", b"\r\n")),
               ("crlf-to-lf.mid", crlf.replace(b"\r\n", b"\n")), ("sound.mid", sound())]
    return [("seqmend", [], seqmend), ("seqmend", ["-tracksonly"], seqmend[2:3]),
            ("eolmend", [], eolmend)]


def run(command, name, data, scratch):
    """Runs the command on the input and out.mid in a fresh folder; returns (status, stdout,
    stderr, {name: bytes} of the files left beside the input, whether the input is unchanged)."""
    with tempfile.TemporaryDirectory(dir=scratch) as folder:
        given = pathlib.Path(folder) / name
        given.write_bytes(data)
        r = subprocess.run(command + [name, "out.mid"], cwd=folder, capture_output=True,
                           timeout=120)
        files = {p.name: p.read_bytes() for p in pathlib.Path(folder).iterdir() if p != given}
        intact = given.is_file() and given.read_bytes() == data
        return r.returncode, r.stdout, r.stderr, files, intact


def verdict(clean_files, failed):
    """What is wrong with a run whose call failed, or None."""
    status, out, err, files, intact = failed
    if not intact:
        return "the input was changed"
    if status == 0:
        return None if files == clean_files else f"exit 0 with other files: {sorted(files)}"
    if status != 1:
        return f"exit {status}: {err.decode(errors='replace').strip()[-200:]}"
    if not (out.strip() or err.strip()):
        return "exit 1 without a message"
    if "out.mid" in files and not out and err.startswith(b"out.mid: ") and err.count(b"\n") == 1:
        return "exit 1 leaving the output it could not open"


def main():
    binaries = dict(p.split("=", 1) for p in sys.argv[1:])
    if shutil.which("strace") is None or subprocess.run(
            ["strace", "-qq", "-o", "/dev/null", "true"]).returncode != 0:
        print("strace not installed or not allowed to trace: sweep skipped")
        return 77
    with tempfile.TemporaryDirectory(prefix="seqmend-sweep-") as scratch:
        trace, jobs = os.path.join(scratch, "trace"), []
        for program, arguments, inputs in (p for p in programs() if p[0] in binaries):
            command = [os.path.abspath(binaries[program]), *arguments]
            for name, data in inputs:
                label = " ".join([program, *arguments, name])
                clean = run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=" + ",".join(SWEPT)]
                            + command, name, data, scratch)
                if clean[0] != 0:
                    sys.exit(f"FAIL {label}: clean run exited {clean[0]}")
                # The calls made before the first one that names the input are the loader's.
                traced = pathlib.Path(trace).read_text(errors="replace")
                calls, loader = (re.findall(r"^(?:\d+ +)?(\w+)\(.*\n", text, re.M)
                                 for text in (traced, traced.split(f'"{name}"')[0]))
                jobs += [(f"{label} {kind}:error={error}:when={k}",
                          ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + kind, "-e",
                           f"inject={kind}:error={error}:when={k}", *command], name, data, clean[3])
                         for kind, errors in SWEPT.items()
                         for k in range(loader.count(kind) + 1, calls.count(kind) + 1)
                         for error in errors]
        with ThreadPoolExecutor(2) as pool:
            problems = pool.map(lambda job: verdict(job[4], run(*job[1:4], scratch)), jobs)
            failures = [f"FAIL {job[0]}: {p}" for job, p in zip(jobs, problems) if p]
    print(*failures, f"{len(jobs) - len(failures)} passed, {len(failures)} failed", sep="\n")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
