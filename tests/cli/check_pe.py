#!/usr/bin/env python3
"""check_pe.py - the Windows stubs exist and are console executables of their
architecture: PE32 for i686, PE32+ for x86_64 (read from the PE headers).

    check_pe.py i686=build/sfxstub-win32.exe x86_64=build/sfxstub-win64.exe
"""
import struct
import sys

# architecture: (COFF machine, optional header magic)
KINDS = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
CONSOLE_SUBSYSTEM = 3


def problems_of(path, arch):
    try:
        with open(path, "rb") as f:
            data = f.read(4096)
    except OSError as error:
        return [str(error)]
    if data[:2] != b"MZ" or len(data) < 64:
        return ["no MZ header"]
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        return ["no PE signature"]
    (machine,) = struct.unpack_from("<H", data, pe + 4)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    (subsystem,) = struct.unpack_from("<H", data, optional + 68)  # same place in PE32 and PE32+
    want_machine, want_magic = KINDS[arch]
    found = []
    if machine != want_machine:
        found.append(f"machine {machine:#x}, want {want_machine:#x}")
    if magic != want_magic:
        found.append(f"optional header magic {magic:#x}, want {want_magic:#x}")
    if subsystem != CONSOLE_SUBSYSTEM:
        found.append(f"subsystem {subsystem}, want {CONSOLE_SUBSYSTEM} (console)")
    return found


def main():
    failed = False
    for argument in sys.argv[1:]:
        arch, path = argument.split("=", 1)
        problems = problems_of(path, arch)
        print(f"{'FAIL' if problems else 'ok  '} {arch} {path}" + "".join("\n    " + p for p in problems))
        failed |= bool(problems)
    return 1 if failed or len(sys.argv) < 2 else 0


if __name__ == "__main__":
    sys.exit(main())
