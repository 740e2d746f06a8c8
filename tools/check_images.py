#!/usr/bin/env python3
"""check_images.py -- checks the 32-bit deliverables as files, without running
them: the facts the tests check of the images they load, for a machine whose
tests run against a 64-bit build of the same sources.

  check_images.py TARVUNE_DLL UTARVUNE_EXE

tarvune.dll: a 32-bit x86 DLL exporting RexxFeedback alone, by name, and
importing from Windows' own DLLs only. UTarvune.exe: a 32-bit x86 GUI program
without thread-local callbacks, importing from KERNEL32, USER32, ADVAPI32 and
COMCTL32 alone, InitCommonControls by ordinal 17 with no name.
Prints one line per image; exits 1 with the reasons when a check fails.
"""
import struct
import sys

MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
FILE_DLL = 0x2000
SUBSYSTEM_WINDOWS_GUI = 2
ORDINAL_FLAG32 = 0x80000000
DIRECTORY_EXPORT, DIRECTORY_IMPORT, DIRECTORY_TLS = 0, 1, 9

problems = []


class Image:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError("no DOS header")
        nt = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[nt:nt + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, nt + 4)
        optional = nt + 24
        self.magic = struct.unpack_from("<H", self.data, optional)[0]
        if self.magic != PE32_MAGIC:
            raise ValueError("optional header magic %#x, not PE32" % self.magic)
        self.subsystem = struct.unpack_from("<H", self.data, optional + 68)[0]
        count = struct.unpack_from("<I", self.data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * i)
                            for i in range(count)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", self.data, table + 40 * i + 8)
                         for i in range(sections)]  # virtual size, address, raw size, raw offset

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("address %#x is in no section" % rva)

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def exports(self):
        rva, size = self.directory(DIRECTORY_EXPORT)
        if not size:
            return 0, []
        functions, names, name_table = (self.u32(rva + 20), self.u32(rva + 24), self.u32(rva + 32))
        return functions, [self.text(self.u32(name_table + 4 * i)) for i in range(names)]

    def imports(self):
        """{DLL name in capitals: [thunk values]}"""
        rva, size = self.directory(DIRECTORY_IMPORT)
        found = {}
        while size and self.u32(rva + 12):
            lookup = self.u32(rva) or self.u32(rva + 16)
            thunks = []
            while self.u32(lookup):
                thunks.append(self.u32(lookup))
                lookup += 4
            found[self.text(self.u32(rva + 12)).upper()] = thunks
            rva += 20
        return found


def expect(condition, what):
    if not condition:
        problems.append(what)
    return condition


def check_addon(path):
    image = Image(path)
    expect(image.machine == MACHINE_I386, "%s: machine %#x, not i386" % (path, image.machine))
    expect(image.characteristics & FILE_DLL, "%s: not a DLL" % path)
    functions, names = image.exports()
    expect(functions == 1 and names == ["RexxFeedback"],
           "%s: exports %d functions named %s, not RexxFeedback alone" % (path, functions, names))
    dlls = set(image.imports())
    allowed = {"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL", "ADVAPI32.DLL"}
    expect(dlls <= allowed and len(dlls) >= 2, "%s: imports from %s" % (path, sorted(dlls)))


def check_uninstaller(path):
    image = Image(path)
    expect(image.machine == MACHINE_I386, "%s: machine %#x, not i386" % (path, image.machine))
    expect(image.subsystem == SUBSYSTEM_WINDOWS_GUI, "%s: subsystem %d, not GUI" % (path, image.subsystem))
    expect(image.directory(DIRECTORY_TLS)[1] == 0,
           "%s: thread-local callbacks (they come from a C runtime)" % path)
    imports = image.imports()
    allowed = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "COMCTL32.DLL"}
    expect(set(imports) == allowed, "%s: imports from %s" % (path, sorted(imports)))
    expect(imports.get("COMCTL32.DLL") == [ORDINAL_FLAG32 | 17],
           "%s: COMCTL32 imports %s, not ordinal 17 alone" % (path, imports.get("COMCTL32.DLL")))


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: check_images.py TARVUNE_DLL UTARVUNE_EXE")
    for check, path in ((check_addon, sys.argv[1]), (check_uninstaller, sys.argv[2])):
        before = len(problems)
        try:
            check(path)
        except (OSError, ValueError, struct.error) as e:
            problems.append("%s: %s" % (path, e))
        print("[images] %s: %s" % (path, "ok" if len(problems) == before else "FAILED"))
    for p in problems:
        print("  " + p)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
