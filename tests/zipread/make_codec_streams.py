"""make_codec_streams.py -- compressed streams for codecs_test, made by the
native tools from one source file.

Writes into OUT:

  plain.bin     the source: text lines, then random bytes
  plain.bz2     bzip2 -1 (blocks of 100 kB, so several of them)
  plain.xz      xz, with its default CRC-64 check
  plain.lzma1   xz --format=lzma without its 8-byte size field: the five
                property bytes, then the raw LZMA data ending in the end
                marker, as a ZIP entry of method 14 holds them after its
                four-byte version and length
  plain.zst     zstd
  plain.ppmd    the data of the entry that 7zz -tzip -mm=PPMd wrote,
                found through its local header: two property bytes, then
                the PPMd var. I rev. 1 range-coded data
  streams.txt   written last, so that its presence means a complete set
"""

import argparse
import os
import random
import struct
import subprocess
import sys
import zipfile

LOCAL_HEADER_SIGNATURE = b"PK\3\4"
METHOD_PPMD = 98


def source():
    rng = random.Random(20250601)
    text = b"".join(b"Line %06d: the quick brown fox jumps over the lazy dog %d times.\n"
                    % (i, rng.randrange(1000)) for i in range(4000))
    return text + rng.randbytes(48 << 10)


def run(args, out_path, stdin_path):
    with open(stdin_path, "rb") as fin, open(out_path, "wb") as fout:
        subprocess.run(args, stdin=fin, stdout=fout, check=True)


def ppmd_entry_data(archive):
    """The stored bytes of the archive's one entry, located from its local
    header's own name and extra lengths."""
    with zipfile.ZipFile(archive) as z:
        (info,) = z.infolist()
    with open(archive, "rb") as f:
        data = f.read()
    at = info.header_offset
    if data[at:at + 4] != LOCAL_HEADER_SIGNATURE:
        sys.exit("make_codec_streams: no local header in %s" % archive)
    method, = struct.unpack_from("<H", data, at + 8)
    name_length, extra_length = struct.unpack_from("<HH", data, at + 26)
    if method != METHOD_PPMD:
        sys.exit("make_codec_streams: 7zz wrote method %d, not PPMd" % method)
    start = at + 30 + name_length + extra_length
    return data[start:start + info.compress_size]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    out = parser.parse_args().out
    os.makedirs(out, exist_ok=True)
    index = os.path.join(out, "streams.txt")
    if os.path.exists(index):
        os.remove(index)

    plain = os.path.join(out, "plain.bin")
    with open(plain, "wb") as f:
        f.write(source())
    path = lambda name: os.path.join(out, name)

    run(["bzip2", "-1", "-c"], path("plain.bz2"), plain)
    run(["xz", "-6", "-c"], path("plain.xz"), plain)
    run(["xz", "--format=lzma", "-6", "-c"], path("plain.lzma"), plain)
    with open(path("plain.lzma"), "rb") as f:
        alone = f.read()
    os.remove(path("plain.lzma"))
    with open(path("plain.lzma1"), "wb") as f:
        f.write(alone[:5] + alone[13:])  # properties, then the raw data
    run(["zstd", "-q", "-c"], path("plain.zst"), plain)

    archive = path("ppmd.zip")
    if os.path.exists(archive):
        os.remove(archive)
    subprocess.run(["7zz", "a", "-tzip", "-mm=PPMd", "-mo=8", "-mmem=16m", archive, plain],
                   stdout=subprocess.DEVNULL, check=True)
    with open(path("plain.ppmd"), "wb") as f:
        f.write(ppmd_entry_data(archive))
    os.remove(archive)

    with open(index, "w") as f:
        f.write("plain.bin plain.bz2 plain.xz plain.lzma1 plain.zst plain.ppmd\n")


if __name__ == "__main__":
    main()
