#!/usr/bin/env python3
# make_soak_archive.py -- writes the soak's archive with Python's zipfile at
# build time; the soak program carries it as an RT_RCDATA resource.
import random
import sys
import zipfile

STAMP = (2001, 2, 3, 4, 5, 6)


def entry(name, mode, dos_attributes=0):
    info = zipfile.ZipInfo(name, STAMP)
    info.create_system = 3  # Unix: the mode in the high half gives the attributes
    info.external_attr = mode << 16 | dos_attributes
    return info


def main(path):
    rng = random.Random(6)
    words = ["archive ", "entry ", "stream ", "handle ", "root ", "value\n"]
    text = "".join(rng.choice(words) for _ in range(4000))
    noise = bytes(rng.randrange(256) for _ in range(5000))
    with zipfile.ZipFile(path, "w") as z:
        z.writestr(entry("soak/readme.txt", 0o100644), text, zipfile.ZIP_DEFLATED)
        z.writestr(entry("soak/noise.bin", 0o100644), noise, zipfile.ZIP_STORED)
        z.writestr(entry("soak/dir/", 0o40755, 0x10), b"")
        z.writestr(entry("soak/dir/nested.txt", 0o100644), text[:700] * 9, zipfile.ZIP_DEFLATED)
        z.writestr(entry("soak/empty.txt", 0o100644), b"", zipfile.ZIP_STORED)


if __name__ == "__main__":
    main(sys.argv[1])
