"""The Windows stubs (--win32-stub, --win64-stub) are console executables of
their architecture: PE32 for i686, PE32+ for x86_64 (read from the PE
headers), that import KERNEL32.dll and msvcrt.dll only and carry the
application manifest (resource 1 of type RT_MANIFEST) with the settings below.
"""
import struct
import xml.etree.ElementTree as ElementTree

import pytest

# architecture: (COFF machine, optional header magic, offset of the data directories)
KINDS = {"i686": (0x14C, 0x10B, 96), "x86_64": (0x8664, 0x20B, 112)}
CONSOLE_SUBSYSTEM = 3
IMPORT_DIRECTORY, RESOURCE_DIRECTORY = 1, 2
RT_MANIFEST, MANIFEST_ID = 24, 1
IMPORTS = {"kernel32.dll", "msvcrt.dll"}

ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
EXECUTION_LEVEL = f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/{ASM_V3}requestedExecutionLevel"
# What the manifest must say: (what, element path, attribute or None for the text, value).
MANIFEST_SETTINGS = [
    ("execution level", EXECUTION_LEVEL, "level", "asInvoker"),
    ("uiAccess", EXECUTION_LEVEL, "uiAccess", "false"),
    ("longPathAware", f"{ASM_V3}application/{ASM_V3}windowsSettings/{WINDOWS_SETTINGS_2016}longPathAware", None,
     "true"),
]
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Windows Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


class Image:
    """A PE file's bytes, its sections and its data directories."""

    def __init__(self, data, pe, directories_at):
        self.data = data
        (section_count,) = struct.unpack_from("<H", data, pe + 6)
        (optional_size,) = struct.unpack_from("<H", data, pe + 20)
        table = pe + 24 + optional_size
        # (virtual address, virtual size, file offset, size in the file)
        self.sections = []
        for index in range(section_count):
            size, address, raw_size, raw_at = struct.unpack_from("<4I", data, table + 40 * index + 8)
            self.sections.append((address, max(size, raw_size), raw_at, raw_size))
        self.directories_at = pe + 24 + directories_at

    def directory(self, index):
        """(file offset, size) of data directory index; offset None when absent."""
        address, size = struct.unpack_from("<2I", self.data, self.directories_at + 8 * index)
        return (self.offset(address) if address else None), size

    def offset(self, address):
        """The file offset of a virtual address; raises ValueError outside every section."""
        for start, size, raw_at, raw_size in self.sections:
            if start <= address < start + size and address - start < raw_size:
                return raw_at + address - start
        raise ValueError(f"address {address:#x} lies in no section")

    def text_at(self, address):
        at = self.offset(address)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")


def import_names(image):
    """The names of the DLLs the image imports from."""
    at, _ = image.directory(IMPORT_DIRECTORY)
    names = []
    while at is not None:
        descriptor = struct.unpack_from("<5I", image.data, at)
        if not any(descriptor):
            break
        names.append(image.text_at(descriptor[3]))
        at += 20
    return names


def resource(image, *path):
    """The bytes of the resource at path (type id, name id; the first language),
    or None when there is none."""
    base, _ = image.directory(RESOURCE_DIRECTORY)
    if base is None:
        return None
    table = base
    for wanted in [*path, None]:
        named, numbered = struct.unpack_from("<2H", image.data, table + 12)
        entries = [struct.unpack_from("<2I", image.data, table + 16 + 8 * i) for i in range(named + numbered)]
        found = [target for name, target in entries if wanted is None or name == wanted]
        if not found:
            return None
        if not found[0] & 0x80000000:  # a data entry: its address and size
            address, size = struct.unpack_from("<2I", image.data, base + found[0])
            at = image.offset(address)
            return image.data[at:at + size]
        table = base + (found[0] & 0x7FFFFFFF)
    return None


def manifest_problems(manifest):
    if manifest is None:
        return ["no manifest resource (RT_MANIFEST, id 1)"]
    try:
        root = ElementTree.fromstring(manifest)
    except ElementTree.ParseError as error:
        return [f"manifest is not well-formed XML: {error}"]
    found = []
    for what, path, attribute, want in MANIFEST_SETTINGS:
        element = root.find(path)
        have = None if element is None else (element.text if attribute is None else element.get(attribute))
        if have != want:
            found.append(f"manifest {what} {have!r}, want {want!r}")
    supported = {e.get("Id") for e in root.iterfind(f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/"
                                                      f"{COMPATIBILITY}supportedOS")}
    if supported != SUPPORTED_OS:
        found.append(f"manifest supportedOS ids {sorted(supported)}, want {sorted(SUPPORTED_OS)}")
    return found


def problems_of(path, arch):
    try:
        with open(path, "rb") as f:
            data = f.read()
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
    want_machine, want_magic, directories_at = KINDS[arch]
    found = []
    if machine != want_machine:
        found.append(f"machine {machine:#x}, want {want_machine:#x}")
    if magic != want_magic:
        found.append(f"optional header magic {magic:#x}, want {want_magic:#x}")
        return found  # the data directories are elsewhere
    if subsystem != CONSOLE_SUBSYSTEM:
        found.append(f"subsystem {subsystem}, want {CONSOLE_SUBSYSTEM} (console)")
    image = Image(data, pe, directories_at)
    try:
        imports = import_names(image)
        manifest = resource(image, RT_MANIFEST, MANIFEST_ID)
    except (ValueError, struct.error) as error:
        return found + [f"damaged tables: {error}"]
    if {name.lower() for name in imports} != IMPORTS:
        found.append(f"imports {imports}, want KERNEL32.dll and msvcrt.dll only")
    return found + manifest_problems(manifest)


@pytest.mark.parametrize("arch, option", [("i686", "win32_stub"), ("x86_64", "win64_stub")])
def test_console_executable(arch, option, options):
    path = getattr(options, option)
    assert path, "--%s is needed" % option.replace("_", "-")
    problems = problems_of(path, arch)
    assert not problems, "%s: %s" % (path, "; ".join(problems))
