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
  plain.d64     likewise, 7zz -tzip -mm=Deflate64: raw Deflate64 data
  seed.*        the same streams of a small text, for the fuzzer's seeds
  bomb.*        the same streams of 16 MiB of zeros, for the hostile
                catalogue's bombs
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
METHODS = {"PPMd": 98, "Deflate64": 9}


def source():
    rng = random.Random(20250601)
    text = b"".join(b"Line %06d: the quick brown fox jumps over the lazy dog %d times.\n"
                    % (i, rng.randrange(1000)) for i in range(4000))
    return text + rng.randbytes(48 << 10)


def run(args, out_path, stdin_path):
    with open(stdin_path, "rb") as fin, open(out_path, "wb") as fout:
        subprocess.run(args, stdin=fin, stdout=fout, check=True)


def entry_data(archive, expected_method):
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
    if method != expected_method:
        sys.exit("make_codec_streams: 7zz wrote method %d, not %d" % (method, expected_method))
    start = at + 30 + name_length + extra_length
    return data[start:start + info.compress_size]


def seven_zip_entry(method, plain, archive, options=()):
    """The data of the one entry that 7zz -tzip -mm=METHOD writes of `plain`."""
    if os.path.exists(archive):
        os.remove(archive)
    subprocess.run(["7zz", "a", "-tzip", "-mm=" + method] + list(options) + [archive, plain],
                   stdout=subprocess.DEVNULL, check=True)
    data = entry_data(archive, METHODS[method])
    os.remove(archive)
    return data


def streams(out, stem, data):
    """STEM.bin holds `data`; STEM.bz2, .xz, .lzma1, .zst, .ppmd and .d64 its
    streams in each method."""
    path = lambda name: os.path.join(out, name)
    plain = path(stem + ".bin")
    with open(plain, "wb") as f:
        f.write(data)
    run(["bzip2", "-1", "-c"], path(stem + ".bz2"), plain)
    run(["xz", "-6", "-c"], path(stem + ".xz"), plain)
    run(["xz", "--format=lzma", "-6", "-c"], path(stem + ".lzma"), plain)
    with open(path(stem + ".lzma"), "rb") as f:
        alone = f.read()
    os.remove(path(stem + ".lzma"))
    with open(path(stem + ".lzma1"), "wb") as f:
        f.write(alone[:5] + alone[13:])  # properties, then the raw data
    run(["zstd", "-q", "-c"], path(stem + ".zst"), plain)
    for method, suffix, options in (("PPMd", ".ppmd", ("-mo=8", "-mmem=16m")), ("Deflate64", ".d64", ())):
        with open(path(stem + suffix), "wb") as f:
            f.write(seven_zip_entry(method, plain, path(stem + ".zip"), options))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    out = parser.parse_args().out
    os.makedirs(out, exist_ok=True)
    index = os.path.join(out, "streams.txt")
    if os.path.exists(index):
        os.remove(index)

    streams(out, "plain", source())
    # Small streams for the fuzzer's seeds, and 16 MiB of zeros in a few KiB
    # for the hostile catalogue's bombs.
    streams(out, "seed", b"".join(b"entry %d of a seed, " % i for i in range(120)))
    streams(out, "bomb", bytes(16 << 20))

    with open(index, "w") as f:
        f.write("plain.bin plain.bz2 plain.xz plain.lzma1 plain.zst plain.ppmd plain.d64\n")


if __name__ == "__main__":
    main()
