#!/usr/bin/env python3
"""make_sample.py -- builds the sample archive that the main job lists and extracts.

Usage: make_sample.py OUTPUT_DIR

Writes OUTPUT_DIR/sample-src/ (the files) and OUTPUT_DIR/sample.zip, made by
Info-ZIP zip: several directories, deflated and stored files, one file
encrypted with the password "tarvune", an empty directory, and one file that
carries a UT extended time stamp while the others carry no extra fields.
"""
import os
import random
import shutil
import subprocess
import sys

PASSWORD = "tarvune"
# 2024-05-17 10:30:00 UTC, and a second stamp for the UT-stamped file.
STAMP = 1715941800
UT_STAMP = 1700000000


def write(path, data, stamp=STAMP):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (stamp, stamp))


def main():
    out = os.path.abspath(sys.argv[1])
    src = os.path.join(out, "sample-src")
    archive = os.path.join(out, "sample.zip")
    shutil.rmtree(src, ignore_errors=True)
    if os.path.exists(archive):
        os.remove(archive)

    rng = random.Random(1234)
    text = "".join("Line %d of the guide: unzip me from REXX.\n" % i for i in range(400)).encode()
    write(os.path.join(src, "docs", "readme.txt"), b"Tarvune sample archive.\r\nEverything here was made by the build.\r\n")
    write(os.path.join(src, "docs", "guide", "chapter1.txt"), text)
    write(os.path.join(src, "data", "table.csv"),
          b"".join(b"%d,%d,%d\n" % (i, i * i, i * i * i) for i in range(200)))
    write(os.path.join(src, "images", "noise.bin"), bytes(rng.getrandbits(8) for _ in range(4096)))
    write(os.path.join(src, "secret", "plans.txt"), b"".join(b"Plan %d: keep the password tarvune safe.\n" % i for i in range(30)))
    write(os.path.join(src, "stamped.txt"), b"This file carries a UT extended time stamp.\n" * 20, UT_STAMP)
    os.makedirs(os.path.join(src, "empty"), exist_ok=True)
    for d in ("docs/guide", "docs", "data", "images", "secret", "empty"):
        os.utime(os.path.join(src, d), (STAMP, STAMP))

    env = dict(os.environ, TZ="UTC")

    def zip_(*args):
        subprocess.run(["zip", "-q"] + list(args), cwd=src, env=env, check=True)

    zip_("-X", "-r", archive, "docs", "data", "empty")   # deflated, no extra fields
    zip_("-X", "-0", "-r", archive, "images")             # stored
    zip_("-X", "-P", PASSWORD, "-r", archive, "secret")   # encrypted
    zip_(archive, "stamped.txt")                          # with a UT block
    print("sample archive: %s" % archive)


if __name__ == "__main__":
    main()
