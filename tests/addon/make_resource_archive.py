#!/usr/bin/env python3
"""make_resource_archive.py -- writes the archive that the add-on tests compile
in as an RT_RCDATA resource, with Python's zipfile (an independent writer).
resource_archive.h names the same entries and texts for the tests."""
import sys
import zipfile

# Keep in step with resource_archive.h.
ENTRIES = [
    ("greeting.txt", "Hello from the resource archive.\r\n" * 40, zipfile.ZIP_DEFLATED),
    ("notes/stored.txt", "stored, not deflated", zipfile.ZIP_STORED),
]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_resource_archive.py OUTPUT.zip")
    with zipfile.ZipFile(sys.argv[1], "w") as archive:
        for name, text, method in ENTRIES:
            info = zipfile.ZipInfo(name, date_time=(2020, 5, 6, 7, 8, 10))
            info.compress_type = method
            archive.writestr(info, text.encode("ascii"))


if __name__ == "__main__":
    main()
