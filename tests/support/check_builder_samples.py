"""check_builder_samples.py -- reads the archives that builder_samples wrote
with Python's zipfile and gzip modules (readers independent of ours) and
checks every entry against expect.txt. Exit status 0 when all agree.

Usage: check_builder_samples.py FOLDER
"""

import gzip
import os
import struct
import sys
import zipfile
import zlib

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def unhex(field):
    return b"" if field == "-" else bytes.fromhex(field)


def dos_date_time(date, time):
    return (((date >> 9) & 0x7F) + 1980, (date >> 5) & 0x0F, date & 0x1F,
            (time >> 11) & 0x1F, (time >> 5) & 0x3F, (time & 0x1F) * 2)


def check_zip(folder, archive, rows, comment):
    where = "%s" % archive
    with zipfile.ZipFile(os.path.join(folder, archive)) as zf:
        passwords = {r["password"] for r in rows if r["password"] != "-"}
        if passwords:
            zf.setpassword(passwords.pop().encode())
        bad = zf.testzip()
        check(bad is None, "%s: testzip() reports %r" % (where, bad))
        infos = zf.infolist()
        check([i.orig_filename.encode("cp437") if not i.flag_bits & 0x800 else
               i.orig_filename.encode() for i in infos] == [r["name"] for r in rows],
              "%s: names %r, expected %r" % (where, [i.orig_filename for i in infos],
                                             [r["name"] for r in rows]))
        check(zf.comment == comment, "%s: archive comment %r, expected %r"
              % (where, zf.comment, comment))
        for info, row in zip(infos, rows):
            at = "%s: %s" % (where, info.orig_filename)
            data = zf.read(info)
            check(data == row["data"], "%s: %d bytes read, expected %d (or they differ)"
                  % (at, len(data), len(row["data"])))
            check(info.CRC == zlib.crc32(row["data"]), "%s: recorded CRC %08x" % (at, info.CRC))
            check(info.file_size == len(row["data"]), "%s: recorded size %d" % (at, info.file_size))
            check(info.compress_type == row["method"], "%s: method %d, expected %d"
                  % (at, info.compress_type, row["method"]))
            check(info.flag_bits == row["flags"], "%s: flags %#x, expected %#x"
                  % (at, info.flag_bits, row["flags"]))
            expected_time = dos_date_time(row["date"], row["time"])
            check(info.date_time == expected_time, "%s: date_time %r, expected %r"
                  % (at, info.date_time, expected_time))
            check(info.external_attr == row["external"], "%s: external attributes %#x, expected %#x"
                  % (at, info.external_attr, row["external"]))
            check(info.comment == row["comment"], "%s: comment %r, expected %r"
                  % (at, info.comment, row["comment"]))
            if row["password"] != "-":
                # A wrong password must be refused by the check byte (or, in
                # the 1-in-256 case where it matches by chance, by the CRC).
                try:
                    wrong = zf.read(info, pwd=b"not the password")
                    check(wrong != row["data"] or not row["data"],
                          "%s: readable with a wrong password" % at)
                except (RuntimeError, zipfile.BadZipFile, zlib.error):
                    pass


def check_gzip(folder, archive, row):
    with open(os.path.join(folder, archive), "rb") as f:
        member = f.read()
    check(gzip.decompress(member) == row["data"], "%s: decompressed data differ" % archive)
    magic, method, flg, mtime = member[:2], member[2], member[3], struct.unpack_from("<I", member, 4)[0]
    check(magic == b"\x1f\x8b" and method == 8, "%s: magic or method wrong" % archive)
    check(flg == row["flg"], "%s: FLG %#x, expected %#x" % (archive, flg, row["flg"]))
    check(mtime == row["mtime"], "%s: MTIME %d, expected %d" % (archive, mtime, row["mtime"]))
    pos = 10
    extra = b""
    if flg & 4:
        xlen = struct.unpack_from("<H", member, pos)[0]
        extra, pos = member[pos + 2:pos + 2 + xlen], pos + 2 + xlen
    check(extra == row["extra"], "%s: FEXTRA %r, expected %r" % (archive, extra, row["extra"]))
    name = comment = b""
    if flg & 8:
        end = member.index(b"\0", pos)
        name, pos = member[pos:end], end + 1
    check(name == row["name"], "%s: FNAME %r, expected %r" % (archive, name, row["name"]))
    if flg & 16:
        end = member.index(b"\0", pos)
        comment, pos = member[pos:end], end + 1
    check(comment == row["comment"], "%s: FCOMMENT %r" % (archive, comment))
    if flg & 2:
        stored = struct.unpack_from("<H", member, pos)[0]
        check(stored == zlib.crc32(member[:pos]) & 0xFFFF,
              "%s: header CRC %#06x does not match the header" % (archive, stored))


def main():
    folder = sys.argv[1]
    zips, comments, gzips = {}, {}, []
    with open(os.path.join(folder, "expect.txt"), encoding="latin-1") as f:
        for line in f:
            f_ = line.rstrip("\n").split("\t")
            if f_[0] == "zip":
                zips.setdefault(f_[1], []).append({
                    "password": f_[2], "name": unhex(f_[3]), "data": unhex(f_[4]),
                    "method": int(f_[5]), "flags": int(f_[6]), "date": int(f_[7]),
                    "time": int(f_[8]), "external": int(f_[9], 16), "comment": unhex(f_[10])})
            elif f_[0] == "zipcomment":
                comments[f_[1]] = unhex(f_[2])
            elif f_[0] == "gzip":
                gzips.append((f_[1], {"name": unhex(f_[2]), "data": unhex(f_[3]),
                                      "flg": int(f_[4]), "mtime": int(f_[5]),
                                      "comment": unhex(f_[6]), "extra": unhex(f_[7])}))
    check(len(comments) >= 5 and len(gzips) >= 3, "expect.txt lists too few samples")
    for archive, rows in zips.items():
        try:
            check_zip(folder, archive, rows, comments.get(archive, b""))
        except Exception as e:  # a reader that throws has rejected the archive
            failures.append("%s: %s: %s" % (archive, type(e).__name__, e))
    for archive, row in gzips:
        try:
            check_gzip(folder, archive, row)
        except Exception as e:
            failures.append("%s: %s: %s" % (archive, type(e).__name__, e))
    for message in failures:
        print("FAIL", message)
    print("%d zip and %d gzip samples checked, %d failures"
          % (len(zips), len(gzips), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
