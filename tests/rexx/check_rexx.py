#!/usr/bin/env python3
"""check_rexx.py -- runs REXX scripts with Regina through the bridge and checks
what they did. Run by ctest from the build's bin folder, inside the tests' Wine
session (WINEPREFIX set, wineserver up).

  check_rexx.py RUNNER EXAMPLES ARCHIVE SOURCES [PASSWORD]
      examples/list.rex against the stand-in host's listing (tvunzip -l),
      examples/extract.rex against the archive's source tree byte for byte,
      examples/show.rex against one source file; the README shows
      examples/extract.rex as it is.
  check_rexx.py RUNNER outcomes SCRIPT SAMPLE
      tests/rexx/outcomes.rex on the sample, on an archive of every byte
      value and of 16 MiB, and on one whose entry is larger than the bridge
      carries, made here; the Windows side is killed mid-script.
  check_rexx.py RUNNER readme ROOT
      the README's example command line, run as it stands in ROOT; the
      tree it extracts against the sample's sources.

RUNNER is the native rexxrun; the Windows side is the tvbridge.exe of the
current folder. Exits 1 with the reasons when a check fails.
"""
import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

# Where the README's example extracts to.
README_OUT = "/tmp/tarvune-out"

problems = []


def expect(condition, what):
    if not condition:
        problems.append(what)


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600,
                          **kwargs)


def rexx(runner, script, *args):
    return run([runner, "--bridge", os.getcwd(), script] + list(args))


def rows_of_tvunzip(text):
    """The stand-in host's listing: the seven tails of each item, in order."""
    rows, item = [], None
    for line in text.splitlines():
        if line.startswith("item ") and " of " in line:
            item = {}
            rows.append(item)
        elif item is not None and line.startswith("  item."):
            tail = int(line[7])
            value = line[20:]
            if tail == 3:
                value = value.split()[0]
            elif tail >= 4:
                value = value[:-len(" UTC")]
            item[tail] = value
    return [[r[t] for t in range(7)] for r in rows]


def rows_of_list(text):
    """list.rex's table: number, size, packed, attrs, modified, accessed, created, path."""
    rows = []
    for line in text.splitlines()[2:]:
        f = line.split(None, 10)
        if len(f) == 11:
            rows.append([f[10], f[1], f[2], f[3], f[6] + " " + f[7], f[8] + " " + f[9],
                         f[4] + " " + f[5]])
    return rows


def tree(top):
    """Every file (with its bytes) and folder under top, by relative path."""
    found = {}
    for folder, dirs, files in os.walk(top):
        for d in dirs:
            found[os.path.relpath(os.path.join(folder, d), top) + "/"] = None
        for f in files:
            with open(os.path.join(folder, f), "rb") as handle:
                found[os.path.relpath(os.path.join(folder, f), top)] = handle.read()
    return found


def check_examples(runner, examples, archive, sources, password):
    extra = [password] if password else []
    with open(os.path.join(examples, "extract.rex")) as f, \
            open(os.path.join(examples, "..", "README.md")) as readme:
        expect(f.read() in readme.read(), "the README's example is not examples/extract.rex as it stands")
    listing = rexx(runner, os.path.join(examples, "list.rex"), archive, *extra)
    expect(listing.returncode == 0, "list.rex exit code %d: %s" % (listing.returncode, listing.stderr))
    wine = os.environ.get("WINE", "wine")
    view = run([wine, "tvunzip.exe", "-l"] + (["-p", password] if password else []) + [archive])
    expect(view.returncode == 0, "tvunzip -l exit code %d" % view.returncode)
    mine = rows_of_list(listing.stdout.decode("latin-1"))
    theirs = rows_of_tvunzip(view.stdout.decode("latin-1"))
    expect(len(theirs) > 0, "tvunzip -l listed nothing")
    expect(mine == theirs, "list.rex differs from the stand-in host's view:\n%s\n---\n%s"
           % ("\n".join(map(str, mine)), "\n".join(map(str, theirs))))

    folder = tempfile.mkdtemp(prefix="rexx-extract-", dir=".")
    try:
        extracted = rexx(runner, os.path.join(examples, "extract.rex"), archive,
                         os.path.basename(folder), *extra)
        expect(extracted.returncode == 0, "extract.rex exit code %d: %s"
               % (extracted.returncode, extracted.stdout.decode("latin-1")))
        got, wanted = tree(folder), tree(sources)
        expect(sorted(got) == sorted(wanted), "extracted paths %s, sources %s"
               % (sorted(got), sorted(wanted)))
        for path in sorted(set(got) & set(wanted)):
            expect(got[path] == wanted[path], "%s differs from its source" % path)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    name = sorted(p for p in wanted if wanted[p])[0]
    shown = rexx(runner, os.path.join(examples, "show.rex"), archive, name, *extra)
    expect(shown.returncode == 0 and shown.stdout == wanted[name],
           "show.rex %s: exit code %d, %d bytes, %d expected"
           % (name, shown.returncode, len(shown.stdout), len(wanted[name])))


def stored_zip(path, entries):
    """A ZIP archive of stored entries, each (name, size, data): data None
    leaves a hole of that many zero bytes in the file, which takes no disk
    space however large the entry is."""
    central = b""
    with open(path, "wb") as f:
        for name, size, data in entries:
            crc = 0
            if data is None:
                zeros = bytes(1 << 24)
                for _ in range(size >> 24):
                    crc = zlib.crc32(zeros, crc)
                crc = zlib.crc32(bytes(size & ((1 << 24) - 1)), crc)
            else:
                crc = zlib.crc32(data)
            offset = f.tell()
            # version 1.0, no flags, stored, 1980-01-01 00:00
            fields = struct.pack("<HHHHHIII", 10, 0, 0, 0, 0x21, crc, size, size)
            f.write(struct.pack("<I", 0x04034B50) + fields + struct.pack("<HH", len(name), 0) + name)
            if data is None:
                f.seek(size, 1)
            else:
                f.write(data)
            central += (struct.pack("<IH", 0x02014B50, 20) + fields +
                        struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, 0, offset) + name)
        start = f.tell()
        f.write(central)
        f.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), start, 0))


def check_outcomes(runner, script, sample):
    folder = tempfile.mkdtemp(prefix="rexx-outcomes-", dir=".")
    try:
        every = bytes(range(256))
        archive = os.path.join(folder, "bytes.zip")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("every-byte.bin", every)
            z.writestr("big.bin", every * 65536)
        huge = os.path.join(folder, "huge.zip")
        stored_zip(huge, [(b"huge.bin", (1 << 30) + (64 << 20), None),  # 1 GiB and 64 MiB
                          (b"after.txt", 14, b"the call after")])
        out = os.path.join(folder, "out")
        os.mkdir(out)
        result = rexx(runner, script, sample, archive, huge, out)
        stdout = result.stdout.decode("latin-1")
        stderr = result.stderr.decode("latin-1")
        expect("checks failed: 0 of" in stdout, "the script's checks:\n" + stdout + stderr)
        expect(result.returncode == 1, "exit code %d after the Windows side was killed, 1 expected"
               % result.returncode)
        for text in ("UNZIPOPEN raised ERROR: Can't create/open file",
                     "UNZIPOPEN raised USER 7: Can't create/open file",
                     "killed by signal 9"):
            expect(text in stderr, "no %r on standard error:\n%s" % (text, stderr))
        with open(os.path.join(out, "every-byte.bin"), "rb") as handle:
            expect(handle.read() == every, "the file extracted before the kill changed")
        pid = [line.split()[-1] for line in stdout.splitlines() if line.startswith("bridge pid")]
        expect(pid and not os.path.exists("/proc/" + pid[0]), "the Windows side %s outlived the script" % pid)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def check_readme(root):
    """The README's example command line, as a reader would copy it, run in
    the source folder: it extracts the sample to README_OUT."""
    with open(os.path.join(root, "README.md")) as readme:
        lines = [line.strip() for line in readme if line.strip().startswith("tools/rexx.sh examples/extract.rex")]
    expect(len(lines) == 1, "the README shows the example command %d times, not once" % len(lines))
    if len(lines) != 1:
        return
    words = shlex.split(lines[0])
    expect(len(words) >= 4 and words[3] == README_OUT,
           "the README's example does not extract to %s: %s" % (README_OUT, lines[0]))
    shutil.rmtree(README_OUT, ignore_errors=True)
    try:
        result = run(["sh", "-c", lines[0]], cwd=root, stdin=subprocess.DEVNULL)
        expect(result.returncode == 0, "%s: exit code %d: %s %s" % (
            lines[0], result.returncode, result.stdout.decode("latin-1"), result.stderr.decode("latin-1")))
        got, wanted = tree(README_OUT), tree(os.path.join("sample", "sample-src"))
        expect(got == wanted, "%s extracted %s, the sample holds %s" % (lines[0], sorted(got), sorted(wanted)))
    finally:
        shutil.rmtree(README_OUT, ignore_errors=True)


def main():
    if len(sys.argv) > 1 and not os.access(sys.argv[1], os.X_OK):
        sys.exit("FAILED: no REXX runner at %s (tools/test.sh builds it beside the build folder)"
                 % sys.argv[1])
    if len(sys.argv) >= 5 and sys.argv[2] == "outcomes":
        check_outcomes(sys.argv[1], sys.argv[3], sys.argv[4])
    elif len(sys.argv) == 4 and sys.argv[2] == "readme":
        check_readme(sys.argv[3])
    elif len(sys.argv) in (5, 6):
        check_examples(*sys.argv[1:5], sys.argv[5] if len(sys.argv) == 6 else "")
    else:
        sys.exit(__doc__)
    for problem in problems:
        print("FAILED:", problem)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
