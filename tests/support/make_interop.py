"""make_interop.py -- makes the interoperability archives with real tools.

Writes into OUT (the build's bin/interop folder):

  src/                  a small source tree with fixed modes and times
  <archive>             archives of it made by Info-ZIP zip, Python's
                        zipfile, gzip, and (WinZip AES) 7-Zip and bsdtar
  <archive>.manifest    what an independent reader (Python's zipfile, or a
                        plain parse of the gzip header) finds in each one
  archives.txt          one line per archive: file, kind, password, tool
  usrc/                 a tree with non-ASCII names
  modern/<archive>      archives beyond the basics: ZIP64 (zip -fz, and
                        Python's zipfile with 70,000 entries), UTF-8 names
                        and NTFS times (7zz, bsdtar, Python's zipfile)
  modern.txt            their index, in the form of archives.txt
  d64src/               files for Deflate64: text past 64 KiB, and a file
                        whose 40 KiB random block recurs 40,000 and 55,000
                        bytes on, so that matches reach back past 32 KiB
                        (distance codes 30 and 31), then a long run
  deflate64/7zz_deflate64.zip   those files compressed by 7zz with Deflate64
                        (method 9), with its manifest; in no index, since
                        the reader's decoder tests read it on their own
  methods/<archive>     the src/ tree in the methods beyond deflate
                        (Deflate64, bzip2, LZMA, PPMd, XZ, Zstandard; PPMd
                        and LZMA also inside WinZip AES), in archives.txt

Python's zipfile cannot decrypt WinZip AES entries: their rows come from
the archive's headers, and 7-Zip extracts every entry to check it.

Manifest format: lines starting with '#' are "# key<TAB>value" properties;
every other line is one entry, fields separated by tabs:

  name  method  flags(hex)  size  compressed_size  crc32(hex)
  date_time("Y M D h m s")  create_system  external_attr(hex)
  encrypted(0/1)  unix_mtime  source  ut_access_creation

name is the entry's name in its true characters (UTF-8 in the manifest):
as the archive declares it (flag bit 11), or, for a non-ASCII name made on
Unix, the stored bytes read as UTF-8 where they are valid UTF-8.

unix_mtime is the modification time of the central "UT" block, else of the
NTFS block, else of the old Unix block (ZIP), or MTIME (gzip), as Unix
seconds; '-' when there is none. source is the path of the file the
entry was made from, relative to OUT with forward slashes ('src/...';
directories end in '/'). ut_access_creation is "ATIME CTIME", the access and
creation times the central "UT" block holds, each '-' when it holds none
(libarchive records all three times there, Info-ZIP the modification alone).

The tools run with TZ=UTC, so the DOS stamps they record are the UTC times
set on the sources. Every archive is read back and compared with its
sources here; a mismatch fails the build.
"""

import argparse
import calendar
import gzip
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import time
import zipfile
import zlib

PASSWORD = "secret"

# (path relative to src, contents or None for a directory, mode, UTC time)
def source_tree():
    rng = random.Random(20240229)
    guide = "".join(
        "Line %05d of the guide: the quick brown fox jumps over the lazy dog.\n" % i
        for i in range(600))
    return [
        ("readme.txt", b"Interop source tree for the archive reader tests.\r\n"
                       b"Second line, CRLF line ends.\r\n", 0o644, (2021, 6, 15, 12, 34, 56)),
        ("readonly.txt", b"This file is read-only.\n", 0o444, (2019, 1, 2, 3, 4, 6)),
        ("docs", None, 0o755, (2021, 6, 15, 12, 0, 0)),
        ("docs/guide.txt", guide.encode("ascii"), 0o644, (2020, 2, 29, 23, 59, 58)),
        ("docs/empty.dat", b"", 0o644, (2000, 1, 1, 0, 0, 0)),
        ("bin", None, 0o755, (2021, 6, 15, 12, 0, 0)),
        ("bin/random.bin", rng.randbytes(1 << 20), 0o644, (2022, 11, 30, 8, 15, 30)),
        ("bin/bytes.bin", bytes(range(256)) * 4, 0o755, (2022, 11, 30, 8, 15, 32)),
        ("deep", None, 0o755, (2021, 6, 15, 12, 0, 0)),
        ("deep/a", None, 0o755, (2021, 6, 15, 12, 0, 0)),
        ("deep/a/b", None, 0o755, (2021, 6, 15, 12, 0, 0)),
        ("deep/a/b/note.txt", b"deep note\n", 0o644, (2018, 7, 8, 9, 10, 12)),
        ("emptydir", None, 0o755, (2021, 6, 15, 12, 0, 0)),
    ]


def make_tree(src):
    if os.path.exists(src):
        make_writable(src)
        shutil.rmtree(src)
    os.makedirs(src)
    tree = source_tree()
    for rel, data, mode, _ in tree:
        path = os.path.join(src, rel)
        if data is None:
            os.makedirs(path, exist_ok=True)
        else:
            with open(path, "wb") as f:
                f.write(data)
    # Modes and times last, deepest first, so writing a child does not
    # touch its folder's time again.
    for rel, _, mode, when in sorted(tree, key=lambda t: -t[0].count("/")):
        path = os.path.join(src, rel)
        seconds = calendar.timegm(when + (0, 0, 0))
        os.chmod(path, mode)
        os.utime(path, (seconds, seconds))


def make_writable(top):
    for root, dirs, files in os.walk(top):
        for name in dirs + files:
            os.chmod(os.path.join(root, name), 0o755)


def run(cmd, cwd, env, stdin_bytes=None):
    """Runs a tool; its stdout goes through a pipe, so zip writing to '-'
    sees an output it cannot seek (and writes data descriptors)."""
    done = subprocess.run(cmd, cwd=cwd, env=env, input=stdin_bytes,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        sys.exit("make_interop: %s failed (%d): %s" %
                 (" ".join(cmd), done.returncode, done.stderr.decode(errors="replace")))
    return done.stdout


def extra_blocks(extra):
    """The (id, data) blocks of an extra field."""
    blocks = {}
    pos = 0
    while pos + 4 <= len(extra):
        block_id, length = struct.unpack_from("<HH", extra, pos)
        blocks.setdefault(block_id, extra[pos + 4:pos + 4 + length])
        pos += 4 + length
    return blocks


def recorded_mtime(extra):
    """Modification time from a central "UT" block, else the NTFS block's,
    else the old Unix block's, as Unix seconds; or None."""
    blocks = extra_blocks(extra)
    ut = blocks.get(0x5455)
    if ut is not None:
        return struct.unpack_from("<i", ut, 1)[0] if len(ut) >= 5 and ut[0] & 1 else None
    ntfs = blocks.get(0x000A)
    if ntfs is not None and len(ntfs) >= 4 + 4 + 8:
        tag, size = struct.unpack_from("<HH", ntfs, 4)
        if tag == 1 and size >= 8:
            filetime = struct.unpack_from("<Q", ntfs, 8)[0]
            return filetime // 10000000 - 11644473600
    old_unix = blocks.get(0x5855)
    if old_unix is not None and len(old_unix) >= 8:
        return struct.unpack_from("<i", old_unix, 4)[0]
    return None


def extracted_by_7zip(out, archive, password, env):
    """Reads every entry of an archive through 7-Zip: name -> bytes."""
    folder = os.path.join(out, archive + ".check")
    shutil.rmtree(folder, ignore_errors=True)
    run(["7zz", "x", "-y", "-p" + password, "-o" + folder, os.path.join(out, archive)], out, env)
    contents = {}
    for root, dirs, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                contents[os.path.relpath(path, folder).replace(os.sep, "/")] = f.read()
    shutil.rmtree(folder)
    return contents


def ut_access_creation(extra):
    """Access and creation times of a central "UT" block, as text; a time
    counts when its flag is set and its 4 bytes lie inside the block."""
    ut = extra_blocks(extra).get(0x5455)
    times, at = [], 1
    for bit in (1, 2, 4):
        value = None
        if ut and ut[0] & bit:
            if at + 4 <= len(ut):
                value = struct.unpack_from("<i", ut, at)[0]
            at += 4
        times.append("-" if value is None else str(value))
    return " ".join(times[1:])


def true_name(info):
    """The name in its true characters: zipfile reads a name without flag
    bit 11 as code page 437, but Unix tools store UTF-8 there."""
    if info.flag_bits & 0x800 or info.create_system != 3:
        return info.filename
    raw = info.filename.encode("cp437")
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return info.filename


def zip_manifest(out, archive, tool, password, source_of, read_back=True, read_with_7zip=None):
    """read_back=False lists the entries without decompressing them (for
    archives of very many entries, which the reader's tests check);
    read_with_7zip holds the entries' bytes as 7-Zip extracted them, for
    WinZip AES archives, which zipfile cannot decrypt."""
    rows = []
    sources = {}
    with zipfile.ZipFile(os.path.join(out, archive)) as zf:
        pwd = password.encode() if password else None
        if pwd:
            zf.setpassword(pwd)
        bad = zf.testzip() if read_back and read_with_7zip is None else None
        if bad is not None:
            sys.exit("make_interop: %s: entry %s is damaged" % (archive, bad))
        for info in zf.infolist():
            name = true_name(info)
            source = source_of(name)
            encrypted = info.flag_bits & 1
            if read_with_7zip is not None:
                data = read_with_7zip.get(info.filename, b"")
            else:
                data = zf.read(info) if read_back else None
            if info.is_dir():
                expected = b""
            elif source in sources:
                expected = sources[source]
            else:
                with open(os.path.join(out, source), "rb") as f:
                    expected = sources[source] = f.read()
            if read_back and data != expected:
                sys.exit("make_interop: %s: %s differs from %s" % (archive, info.filename, source))
            mtime = recorded_mtime(info.extra)
            rows.append([
                name, str(info.compress_type), "%x" % info.flag_bits,
                str(info.file_size), str(info.compress_size), "%08x" % info.CRC,
                " ".join(str(v) for v in info.date_time), str(info.create_system),
                "%08x" % info.external_attr, str(encrypted),
                "-" if mtime is None else str(mtime), source, ut_access_creation(info.extra)])
    write_manifest(out, archive, "zip", tool, rows)


def gzip_manifest(out, archive, tool, source):
    with open(os.path.join(out, archive), "rb") as f:
        member = f.read()
    with open(os.path.join(out, source), "rb") as f:
        expected = f.read()
    if gzip.decompress(member) != expected:
        sys.exit("make_interop: %s does not decompress to %s" % (archive, source))
    # The header, parsed by hand: the gzip module does not report FNAME.
    method, flg, mtime, _, os_byte = struct.unpack_from("<BBIBB", member, 2)
    pos = 10
    if flg & 4:
        pos += 2 + struct.unpack_from("<H", member, pos)[0]
    name = b""
    if flg & 8:
        end = member.index(b"\0", pos)
        name, pos = member[pos:end], end + 1
    if flg & 16:
        pos = member.index(b"\0", pos) + 1
    if flg & 2:
        pos += 2
    crc, isize = struct.unpack_from("<II", member, len(member) - 8)
    if crc != zlib.crc32(expected) or isize != len(expected) & 0xFFFFFFFF:
        sys.exit("make_interop: %s trailer does not match %s" % (archive, source))
    when = "0 0 0 0 0 0"
    if mtime:
        t = time.gmtime(mtime)
        when = "%d %d %d %d %d %d" % t[:6]
    rows = [[name.decode("latin-1"), str(method), "%x" % flg, str(isize),
             str(len(member) - 8 - pos), "%08x" % crc, when, str(os_byte), "00000000", "0",
             str(mtime) if mtime else "-", source, "- -"]]
    write_manifest(out, archive, "gzip", tool, rows)


def write_manifest(out, archive, kind, tool, rows):
    with open(os.path.join(out, archive + ".manifest"), "w", newline="\n", encoding="utf-8") as f:
        f.write("# archive\t%s\n# kind\t%s\n# tool\t%s\n# tz\tUTC\n" % (archive, kind, tool))
        f.write("# columns\tname method flags size compressed_size crc32 date_time "
                "create_system external_attr encrypted unix_mtime source ut_access_creation\n")
        for row in rows:
            if any("\t" in field or "\n" in field for field in row):
                sys.exit("make_interop: %s: a field holds a tab or line end" % archive)
            f.write("\t".join(row) + "\n")


def python_zip(out, archive, method, items):
    """Python's zipfile, entries in sorted order, directories included."""
    with zipfile.ZipFile(os.path.join(out, archive), "w", compression=method) as zf:
        for rel in items:
            zf.write(os.path.join(out, "src", rel), rel)


# The tree of non-ASCII names: (path relative to usrc, contents or None for a
# directory, UTC time).
def unicode_tree():
    return [
        ("R\u00e9sum\u00e9.txt", b"curriculum vitae\n", (2021, 6, 15, 12, 34, 56)),
        ("\u4e16\u754c", None, (2021, 6, 15, 12, 0, 0)),
        ("\u4e16\u754c/\u30c7\u30fc\u30bf.txt", b"data of the world\n" * 50, (2020, 2, 29, 23, 59, 58)),
    ]


def make_unicode_tree(usrc):
    if os.path.exists(usrc):
        shutil.rmtree(usrc)
    os.makedirs(usrc)
    tree = unicode_tree()
    for rel, data, _ in tree:
        path = os.path.join(usrc, rel)
        if data is None:
            os.makedirs(path, exist_ok=True)
        else:
            with open(path, "wb") as f:
                f.write(data)
    for rel, _, when in sorted(tree, key=lambda t: -t[0].count("/")):
        seconds = calendar.timegm(when + (0, 0, 0))
        os.utime(os.path.join(usrc, rel), (seconds, seconds))


MANY_ENTRIES = 70000


def make_modern(out, env):
    """Archives beyond the basics, in out/modern, indexed in modern.txt."""
    modern = os.path.join(out, "modern")
    if os.path.exists(modern):
        shutil.rmtree(modern)
    os.makedirs(modern)
    usrc = os.path.join(out, "usrc")
    make_unicode_tree(usrc)
    utop = sorted(os.listdir(usrc))
    src = os.path.join(out, "src")
    top = sorted(os.listdir(src))
    uenv = dict(env, LC_ALL="C.UTF-8")
    index = []

    def add(archive, tool, source_of, read_back=True):
        zip_manifest(out, "modern/" + archive, tool, "", source_of, read_back)
        index.append(("modern/" + archive, "zip", "", tool))

    def in_usrc(name):
        return "usrc/" + name

    def in_src(name):
        return "src/" + name

    run(["zip", "-q", "-r", "-fz", os.path.join(modern, "zip_fz.zip")] + top, src, env)
    add("zip_fz.zip", "zip -r -fz", in_src)
    run(["zip", "-q", "-r", "-fz", os.path.join(modern, "zip_fz_unicode.zip")] + utop, usrc, uenv)
    add("zip_fz_unicode.zip", "zip -r -fz (UTF-8 names)", in_usrc)
    run(["7zz", "a", "-bd", "-tzip", "-mtc=on", os.path.join(modern, "7zz_unicode.zip")] + utop, usrc, uenv)
    add("7zz_unicode.zip", "7zz a -tzip -mtc=on", in_usrc)
    run(["bsdtar", "--format", "zip", "-cf", os.path.join(modern, "bsdtar_unicode.zip")] + utop, usrc, uenv)
    add("bsdtar_unicode.zip", "bsdtar --format zip", in_usrc)
    with zipfile.ZipFile(os.path.join(modern, "py_unicode.zip"), "w", zipfile.ZIP_DEFLATED) as zf:
        for rel, _, _ in unicode_tree():
            zf.write(os.path.join(usrc, rel), rel)
    add("py_unicode.zip", "python zipfile (UTF-8 names)", in_usrc)

    # Past 65,535 entries Python writes a ZIP64 end record; every entry
    # holds the same small file.
    with open(os.path.join(src, "readme.txt"), "rb") as f:
        readme = f.read()
    with zipfile.ZipFile(os.path.join(modern, "py_many.zip"), "w", zipfile.ZIP_STORED) as zf:
        for i in range(MANY_ENTRIES):
            zf.writestr(zipfile.ZipInfo("many/%05d.txt" % i, (2021, 6, 15, 12, 34, 56)), readme)
    add("py_many.zip", "python zipfile (%d entries)" % MANY_ENTRIES, lambda name: "src/readme.txt", False)

    with open(os.path.join(out, "modern.txt"), "w", newline="\n") as f:
        f.write("# archive\tkind\tpassword\ttool\n")
        for row in index:
            f.write("\t".join(row) + "\n")


def make_deflate64(out, env):
    """Deflate64 (method 9) entries from 7-Zip, in out/deflate64. 7-Zip
    stores a file that Deflate64 would not shrink; the rest are method 9."""
    d64src = os.path.join(out, "d64src")
    folder = os.path.join(out, "deflate64")
    for path in (d64src, folder):
        if os.path.exists(path):
            shutil.rmtree(path)
        os.makedirs(path)
    rng = random.Random(64)
    block = rng.randbytes(40000)
    text = "".join("Record %06d: %s, checked %d times.\n" %
                   (i, rng.choice(("alpha", "beta", "gamma", "delta")), rng.randrange(1000))
                   for i in range(5000))
    files = {
        "text.txt": text.encode("ascii"),
        "far.bin": block * 2 + rng.randbytes(15000) + block + b"z" * 70000,
        "small.txt": b"small small small small file\n",
        "empty.dat": b"",
    }
    for name, data in files.items():
        with open(os.path.join(d64src, name), "wb") as f:
            f.write(data)
    archive = "deflate64/7zz_deflate64.zip"
    run(["7zz", "a", "-bd", "-bso0", "-tzip", "-mm=Deflate64", os.path.join(out, archive)] + sorted(files),
        d64src, env)
    zip_manifest(out, archive, "7zz a -tzip -mm=Deflate64", "", lambda name: "d64src/" + name,
                 read_with_7zip=extracted_by_7zip(out, archive, "", env))


def wrapped_zip(out, archive, method, compress, items):
    """A ZIP of the src/ items whose data another tool compressed: `compress`
    turns a file's bytes into the method's data (xz and zstd, whose formats
    ZIP takes as they stand). Times are the files' own, as DOS stamps in
    UTC."""
    src = os.path.join(out, "src")
    body, central = bytearray(), bytearray()
    for rel in items:
        path = os.path.join(src, rel)
        folder = os.path.isdir(path)
        name = (rel + "/" if folder else rel).encode()
        data = b""
        if not folder:
            with open(path, "rb") as f:
                data = f.read()
        # Folders and empty files are stored, as 7-Zip writes them.
        packed = compress(data) if data else b""
        how = method if data else 0
        t = time.gmtime(os.stat(path).st_mtime)
        dos_time = t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec // 2
        dos_date = (t.tm_year - 1980) << 9 | t.tm_mon << 5 | t.tm_mday
        crc = zlib.crc32(data)
        fields = struct.pack("<HHHHHIII", 63, 0, how, dos_time, dos_date, crc, len(packed), len(data))
        offset = len(body)
        body += b"PK\x03\x04" + fields + struct.pack("<HH", len(name), 0) + name + packed
        mode = (0o40755 if folder else 0o100644) << 16
        central += (b"PK\x01\x02" + struct.pack("<H", 3 << 8 | 63) + fields +
                    struct.pack("<HHHHHII", len(name), 0, 0, 0, 0, mode, offset) + name)
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(items), len(items), len(central), len(body), 0)
    with open(os.path.join(out, archive), "wb") as f:
        f.write(bytes(body + central + end))


def make_methods(out, env, index, every, top):
    """Entries of the methods beyond deflate, in out/methods, indexed with the
    rest in archives.txt: 7-Zip's Deflate64, bzip2, LZMA, PPMd and XZ (PPMd
    and LZMA also inside WinZip AES), Python's bzip2 and LZMA, and XZ and
    Zstandard data from the xz and zstd tools wrapped in ZIP entries here.
    7-Zip reads every one back."""
    folder = os.path.join(out, "methods")
    if os.path.exists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    src = os.path.join(out, "src")

    def in_src(name):
        return "src/" + name

    for method, password in (("Deflate64", ""), ("BZip2", ""), ("LZMA", ""), ("PPMd", ""), ("XZ", ""),
                             ("PPMd", PASSWORD), ("LZMA", PASSWORD)):
        options = ["-tzip", "-r", "-mm=" + method] + (["-mem=AES256", "-p" + password] if password else [])
        archive = "methods/7zz_%s%s.zip" % (method.lower(), "_aes256" if password else "")
        run(["7zz", "a", "-bd", "-bso0"] + options + [os.path.join(out, archive)] + top, src, env)
        tool = "7zz a " + " ".join(options)
        zip_manifest(out, archive, tool, password, in_src,
                     read_with_7zip=extracted_by_7zip(out, archive, password, env))
        index.append((archive, "zip", password, tool))

    for archive, method, tool in (("methods/py_bzip2.zip", zipfile.ZIP_BZIP2, "zipfile bzip2"),
                                  ("methods/py_lzma.zip", zipfile.ZIP_LZMA, "zipfile lzma")):
        python_zip(out, archive, method, every)
        zip_manifest(out, archive, "python " + tool, "", in_src)
        index.append((archive, "zip", "", "python " + tool))

    for archive, method, cmd in (("methods/xz_wrapped.zip", 95, ["xz", "-c", "-6"]),
                                 ("methods/zstd_wrapped.zip", 93, ["zstd", "-c", "-q", "-19"])):
        wrapped_zip(out, archive, method, lambda data: run(cmd, out, env, data), every)
        tool = "%s, wrapped as method %d" % (" ".join(cmd), method)
        zip_manifest(out, archive, tool, "", in_src, read_with_7zip=extracted_by_7zip(out, archive, "", env))
        index.append((archive, "zip", "", tool))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, help="folder to fill (bin/interop)")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)

    # The tools and zipfile record local time: make it UTC.
    env = dict(os.environ, TZ="UTC", LC_ALL="C")
    os.environ["TZ"] = "UTC"
    time.tzset()

    src = os.path.join(out, "src")
    make_tree(src)
    top = sorted(os.listdir(src))
    every = sorted(rel for rel, _, _, _ in source_tree())
    index = []

    def in_src(name):
        return "src/" + name

    def info_zip(archive, options, tool_text, password=""):
        path = os.path.join(out, archive)
        if os.path.exists(path):
            os.remove(path)
        run(["zip", "-q"] + options + [path] + top, src, env)
        zip_manifest(out, archive, tool_text, password, in_src)
        index.append((archive, "zip", password, tool_text))

    info_zip("zip_deflated.zip", ["-r"], "zip -r")
    info_zip("zip_stored.zip", ["-r", "-0"], "zip -r -0")
    info_zip("zip_encrypted.zip", ["-r", "-P", PASSWORD], "zip -r -P " + PASSWORD, PASSWORD)
    info_zip("zip_encrypted_stored.zip", ["-r", "-0", "-P", PASSWORD],
             "zip -r -0 -P " + PASSWORD, PASSWORD)
    info_zip("zip_noextra.zip", ["-r", "-X"], "zip -r -X")

    # WinZip AES from two independent writers: 7-Zip at each key length
    # (deflated, and stored at 192 bits; times as a UT block, or with
    # -mtp=2 the DOS stamp alone), and libarchive, which writes AE-1, AE-2
    # and data descriptors.
    def aes_zip(archive, cmd, tool_text):
        path = os.path.join(out, archive)
        if os.path.exists(path):
            os.remove(path)
        run(cmd + [path] + top if cmd[0] == "7zz" else cmd + ["-f", path] + top, src, env)
        zip_manifest(out, archive, tool_text, PASSWORD, in_src,
                     read_with_7zip=extracted_by_7zip(out, archive, PASSWORD, env))
        index.append((archive, "zip", PASSWORD, tool_text))

    for bits, options in (("128", ["-mtp=1"]), ("192", ["-mx0", "-mtp=2"]), ("256", ["-mtp=1"])):
        options = ["-tzip", "-r", "-mem=AES" + bits] + options
        aes_zip("7z_aes%s.zip" % bits, ["7zz", "a", "-bd", "-bso0", "-p" + PASSWORD] + options,
                "7zz a " + " ".join(options) + " -p" + PASSWORD)
    aes_zip("bsdtar_aes256.zip", ["bsdtar", "--format", "zip", "--options", "zip:encryption=aes256",
                                  "--passphrase", PASSWORD, "-c"],
            "bsdtar --format zip --options zip:encryption=aes256")

    # Streaming: output to a pipe, so sizes and CRC follow the data in
    # descriptors; -fz- keeps Zip64 out of the local headers.
    streamed = run(["zip", "-q", "-r", "-fz-", "-"] + top, src, env)
    with open(os.path.join(out, "zip_stream.zip"), "wb") as f:
        f.write(streamed)
    zip_manifest(out, "zip_stream.zip", "zip -r -fz- - (to a pipe)", "", in_src)
    index.append(("zip_stream.zip", "zip", "", "zip -r -fz- - (to a pipe)"))

    # From stdin to a pipe: one entry named "-", made from docs/guide.txt.
    with open(os.path.join(src, "docs", "guide.txt"), "rb") as f:
        streamed = run(["zip", "-q", "-fz-", "-", "-"], src, env, f.read())
    with open(os.path.join(out, "zip_stdin.zip"), "wb") as f:
        f.write(streamed)
    zip_manifest(out, "zip_stdin.zip", "zip -fz- - - (stdin to a pipe)", "",
                 lambda name: "src/docs/guide.txt")
    index.append(("zip_stdin.zip", "zip", "", "zip -fz- - - (stdin to a pipe)"))

    for archive, method, tool in (("py_deflated.zip", zipfile.ZIP_DEFLATED, "zipfile deflated"),
                                  ("py_stored.zip", zipfile.ZIP_STORED, "zipfile stored")):
        python_zip(out, archive, method, every)
        zip_manifest(out, archive, "python " + tool, "", in_src)
        index.append((archive, "zip", "", "python " + tool))

    for archive, option, rel in (("gzip_named.gz", "-N", "docs/guide.txt"),
                                 ("gzip_bare.gz", "-n", "docs/guide.txt"),
                                 ("gzip_random.gz", "-N", "bin/random.bin"),
                                 ("gzip_empty.gz", "-N", "docs/empty.dat")):
        data = run(["gzip", "-c", option, rel], src, env)
        with open(os.path.join(out, archive), "wb") as f:
            f.write(data)
        tool = "gzip -c %s %s" % (option, rel)
        gzip_manifest(out, archive, tool, in_src(rel))
        index.append((archive, "gzip", "", tool))

    make_modern(out, env)
    make_deflate64(out, env)
    make_methods(out, env, index, every, top)

    # Written last: its time stamp tells the build that everything is there.
    with open(os.path.join(out, "archives.txt"), "w", newline="\n") as f:
        f.write("# archive\tkind\tpassword\ttool\n")
        for row in index:
            f.write("\t".join(row) + "\n")
    print("make_interop: %d archives in %s" % (len(index), out))


if __name__ == "__main__":
    main()
