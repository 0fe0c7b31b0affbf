"""The static Linux stubs (--linux-stub, --arm64-stub) are 64-bit ELF
executables of their architecture, and ask nothing of the machine's C
library: no program interpreter (loader) and no dynamic section, so no
versioned glibc symbol can be needed. Each must stay under 150 KiB.
"""
import struct

import pytest

MACHINES = {"x86_64": 62, "aarch64": 183}
ET_EXEC, ET_DYN = 2, 3
PT_DYNAMIC, PT_INTERP = 2, 3
SIZE_LIMIT = 150 * 1024


def problems_of(path, arch):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        return [str(error)]
    if data[:4] != b"\x7fELF" or len(data) < 64:
        return ["no ELF header"]
    if data[4] != 2 or data[5] != 1:
        return ["not a 64-bit little-endian ELF file"]
    kind, machine = struct.unpack_from("<HH", data, 16)
    (program_headers,) = struct.unpack_from("<Q", data, 32)
    entry_size, count = struct.unpack_from("<HH", data, 54)
    found = []
    if machine != MACHINES[arch]:
        found.append(f"machine {machine}, want {MACHINES[arch]} ({arch})")
    if kind not in (ET_EXEC, ET_DYN):
        found.append(f"ELF type {kind}, not an executable")
    for index in range(count):
        (segment,) = struct.unpack_from("<I", data, program_headers + index * entry_size)
        if segment == PT_INTERP:
            found.append("has a program interpreter: it needs a loader and a C library")
        if segment == PT_DYNAMIC:
            found.append("has a dynamic section")
    if len(data) >= SIZE_LIMIT:
        found.append(f"{len(data)} bytes, not under {SIZE_LIMIT}")
    return found


@pytest.mark.parametrize("arch, option", [("x86_64", "linux_stub"), ("aarch64", "arm64_stub")])
def test_static_program(arch, option, options):
    path = getattr(options, option)
    assert path, "--%s is needed" % option.replace("_", "-")
    problems = problems_of(path, arch)
    assert not problems, "%s: %s" % (path, "; ".join(problems))
