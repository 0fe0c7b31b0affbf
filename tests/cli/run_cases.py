"""Self-extractors made from archives that Info-ZIP zip, Python's zipfile and
7-Zip wrote, run natively, under qemu (the arm64 stub, with the Linux
results) or under wine: exact standard output, standard error and exit
status, and the extracted tree compared byte for byte with what unzip
extracts. Case ids start with their group: -k directory- runs one group.
"""
import contextlib
import dataclasses
import fcntl
import hashlib
import io
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile

import pytest

# terminal_cases.py imports this module outside pytest's conftest.py.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from file_trees import FOLDER as DIR, names_below, read_tree, tree_differences, without_metadata  # noqa: E402
from stub_runner import set_drive_a, windows_path  # noqa: E402
from targets import WINDOWS_TARGETS  # noqa: E402
from zip_cipher import ZipCipher  # noqa: E402
from zip_writer import Member, build, central_headers, end_record, find_end_record  # noqa: E402
from zip_writer import local_data_offset, sfx_bytes  # noqa: E402

os.environ["TZ"] = "UTC"  # zip, unzip, the stub and wine agree on local time

SECRET = b"secret"
PW253 = (b"k\xe9" * 127)[:253]  # bytes 0x80-0xFF enter the key schedule too
PW254 = (b"\xf1m" * 127)[:254]
WRONG = (b"wrong", b"")  # passwords the cases expect every encrypted member to refuse

MSG_OUTSIDE = "Error: {} would be written outside the current directory. This file will not be unzipped.\n"
MSG_SORRY = "Sorry, you did not enter a valid password. This file will not be unzipped.\n"
MSG_CRC = "Error: CRC values do not match. File may be corrupted.\n"
MSG_WRITE = "Error while writing output file.\n"
MSG_OVERLAP = "Error: %s overlaps another member (a possible zip bomb). This file will not be unzipped.\n"
MSG_UNABLE = "Error: Unable to open the zip archive {A}.\n"
WARN_VERSION = "Warning: Some files were found that require a newer version of Vintra to decompress.\n"
WARN_METHOD = "Warning: I can handle the 'deflate' compression type. Some files cannot be decompressed.\n"
LAST_PROMPT = "Please insert the last segment into drive A and press enter.\n"


# ---- archive makers: each writes its inputs in a scratch folder and returns zip bytes

def text(lines, seed=0):
    words = ["alpha", "beta", "gamma", "delta", "zip", "stub", "floppy", "segment", "inflate"]
    rnd = random.Random(seed)
    return "".join(f"{i} {' '.join(rnd.choice(words) for _ in range(8))}\n" for i in range(lines)).encode()


def write_files(folder, files):
    for name, data in files.items():
        path = os.path.join(folder, name)
        os.makedirs(path if data is None else os.path.dirname(path), exist_ok=True)
        if data is not None:
            with open(path, "wb") as out:
                out.write(data)
            os.utime(path, (1615000000, 1615000000))  # long past, so a restored time shows


def zip_tool(folder, *commands):
    """Runs zip commands (lists of arguments after "zip -q") in folder and
    returns the archive out.zip."""
    for command in commands:
        subprocess.run(["zip", "-q", "out.zip", *command], cwd=folder, check=True, stdin=subprocess.DEVNULL)
    with open(os.path.join(folder, "out.zip"), "rb") as archive:
        return archive.read()


TREE = {"top.txt": text(40), "docs/readme.txt": text(300, 1), "docs/deep/nested/x.bin": random.Random(2).randbytes(50000),
        "empty.txt": b"", "emptydir": None, "docs/emptysub": None, "docs/run.sh": b"#!/bin/sh\necho hi\n",
        **{f"docs/many/d{i % 12}/f{i}.txt": text(i % 7, i) for i in range(300)}}


def make_zip_tree(level):
    def make(folder):
        write_files(folder, TREE)
        os.chmod(os.path.join(folder, "docs/run.sh"), 0o751)
        return zip_tool(folder, [level, "-r", "top.txt", "docs", "empty.txt", "emptydir"])
    return make


def make_python(members, seekable=True, comment=b""):
    """members: (name, data, method[, Unix mode]) with data None for a directory
    entry. Unseekable output makes zipfile stream every member with a data
    descriptor."""
    def make(folder):
        buffer = io.BytesIO()
        sink = buffer if seekable else type("Sink", (), {"write": lambda s, b: buffer.write(b), "flush": lambda s: None})()
        with zipfile.ZipFile(sink, "w") as archive:
            archive.comment = comment
            for name, data, method, *mode in members:
                if data is None:
                    archive.writestr(zipfile.ZipInfo(name, (2024, 5, 17, 10, 30, 0)), b"")
                else:
                    info = zipfile.ZipInfo(name, (2023, 1, 2, 3, 4, 6))
                    info.compress_type, info.external_attr = method, (mode or [0o640])[0] << 16
                    with archive.open(info, "w") as member:
                        member.write(data)
        return buffer.getvalue()
    return make


D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
THREE = make_python([("one.txt", text(50, 3), D), ("two.txt", text(60, 4), D), ("three.txt", text(70, 5), D)])


def make_from_stdin(extra_args, data):
    """zip reading the member from standard input: written to a pipe it adds
    data descriptors; encrypted, zip always marks flag bit 3."""
    def make(folder):
        done = subprocess.run(["zip", "-q", *extra_args, "-", "-"], input=data, stdout=subprocess.PIPE, check=True)
        return done.stdout
    return make


def make_7z(files, method="ZipCrypto"):
    def make(folder):
        write_files(folder, files)
        subprocess.run(["7z", "a", "-tzip", "-mem=" + method, "-p" + SECRET.decode(), "out.zip", *files],
                       cwd=folder, check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        with open(os.path.join(folder, "out.zip"), "rb") as archive:
            return archive.read()
    return make


def make_tail_short(trailing):
    """One deflate member whose data ends `trailing` (< 4) bytes before the
    end of the file: the member lies in the end record's comment, after the
    directory."""
    def make(folder):
        original = THREE(folder)
        header = next(central_headers(original))
        entry = bytearray(original[header:header + 46 + 7])  # name "one.txt", no extra
        (size,) = struct.unpack_from("<I", entry, 20)
        member = original[:30 + 7 + size] + b"\0" * trailing
        struct.pack_into("<I", entry, 42, len(entry) + 22)
        return bytes(entry) + end_record(1, len(entry), 0, comment=member)
    return make


def make_bzip2_middle(folder):
    write_files(folder, {"a.txt": text(20, 6), "b.txt": text(20, 7), "c.txt": text(20, 8)})
    return zip_tool(folder, ["-9", "a.txt"], ["-Z", "bzip2", "b.txt"], ["-9", "c.txt"])


def make_encrypted_mix(folder):
    write_files(folder, {"p1.txt": text(30, 9), "e1.txt": text(400, 10), "sub/e2.txt": text(20, 11), "p2.txt": b"plain\n"})
    return zip_tool(folder, ["p1.txt"], ["-P", "secret", "e1.txt", "sub/e2.txt"], ["p2.txt"])


def make_encrypted_stored(folder):
    write_files(folder, {"es.txt": text(30, 12), "empty.txt": b""})
    return zip_tool(folder, ["-0", "-P", "secret", "es.txt", "empty.txt"])


def make_long_password(password):
    def make(folder):
        write_files(folder, {"l1.txt": text(10, 13), "l2.txt": text(10, 14)})
        return zip_tool(folder, ["-P", password, "l1.txt", "l2.txt"])
    return make


AES_FILES = {"sub/z0.txt": b"", "z.txt": text(3000, 24), "zs.bin": random.Random(25).randbytes(12000),
             "small.txt": b"x"}


def make_ae1(folder):
    """AE-1 members (the CRC-32 kept) of each strength, stored and deflated,
    between members without encryption; 7-Zip writes AE-2 only."""
    return build([Member("plain.txt", b"plain\n"), Member("d1.txt", text(200, 26), 8, "secret", aes=1, aes_version=1),
                  Member("s2.bin", random.Random(27).randbytes(5000), 0, "secret", aes=2, aes_version=1),
                  Member("d3.txt", text(300, 28), 8, "secret", aes=3, aes_version=1, salt=b"salt of sixteen!"),
                  Member("after.txt", b"after\n", 8)])


UNSAFE = make_python([("../evil.txt", b"evil\n", D), ("../evildir/", None, D), ("/abs.txt", b"abs\n", D),
                      ("a//b.txt", b"ab\n", S), ("C:/x.txt", b"x\n", D), ("a\\b.txt", b"backslash\n", S),
                      ("d/../../up.txt", b"up\n", D), ("..\\win.txt", b"win\n", D), ("\\root.txt", b"root\n", D),
                      ("a:b.txt", b"stream\n", D), ("ok.txt", b"ok\n", S)])

ARCHIVES = {
    "zip9": make_zip_tree("-9"), "zip0": make_zip_tree("-0"),
    "python": make_python([("s.txt", text(30, 15), S), ("d.txt", text(500, 16), D), ("e0.txt", b"", D),
                           ("s0.txt", b"", S), ("pydir/", None, D), ("pydir/sub/f.txt", text(5, 17), D),
                           ("pydir/setuid.sh", b"#!/bin/sh\n", S, 0o104755)], comment=b"made by zipfile " * 100),
    "streamed": make_python([("st/d.txt", text(900, 18), D), ("st/s.bin", random.Random(19).randbytes(30000), S),
                             ("st/e.txt", b"", D)], seekable=False),
    "zip_stdin": make_from_stdin([], text(200, 20)),
    "big": lambda folder: make_python([("rand20m.bin", random.Random(21).randbytes(20 << 20), D),
                                       ("text20m.txt", text(380000, 22), D)])(folder),
    "three": THREE, "empty": make_python([]), "unsafe": UNSAFE, "bzip2": make_bzip2_middle,
    "blocked": make_python([("sub/blocked.txt", b"blocked\n", D), ("after.txt", b"after\n", D)]),
    "full": make_python([("full.txt", b"small\n", D), ("big_full.txt", text(9000, 23), D), ("after.txt", b"after\n", D)]),
    "tail0": make_tail_short(0), "tail2": make_tail_short(2),
    "enc_mix": make_encrypted_mix, "enc_stored": make_encrypted_stored,
    "enc_7z": make_7z({"sub/z0.txt": b"", "z.txt": text(3000, 24), "zs.bin": random.Random(25).randbytes(12000)}),
    "enc_stdin": make_from_stdin(["-e", "-P", "pw"], b"data\n"),
    "pw253": make_long_password(PW253), "pw254": make_long_password(PW254),
    "aes_7z_128": make_7z(AES_FILES, "AES128"), "aes_7z_192": make_7z(AES_FILES, "AES192"),
    "aes_7z_256": make_7z(AES_FILES, "AES256"), "aes_ae1": make_ae1,
}


# ---- byte patches of a finished self-extractor (offsets absolute)

def patched(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def end_field(offset, fmt, value):
    return lambda data: patched(data, find_end_record(data) + offset, fmt, value)


def central_field(index, offset, fmt, value):
    return lambda data: patched(data, list(central_headers(data))[index] + offset, fmt, value)


def data_byte(index, value):
    def patch(data):
        (local,) = struct.unpack_from("<I", data, list(central_headers(data))[index] + 42)
        return patched(data, local_data_offset(data, local), "<B", value)
    return patch


def reorder(order):
    def patch(data):
        end = find_end_record(data)
        starts = list(central_headers(data)) + [end]
        records = [data[a:b] for a, b in zip(starts, starts[1:])]
        return data[:starts[0]] + b"".join(records[i] for i in order) + data[end:]
    return patch


def central_xor(index, offset, mask):
    def patch(data):
        at = list(central_headers(data))[index] + offset
        return patched(data, at, "<I", struct.unpack_from("<I", data, at)[0] ^ mask)
    return patch


def aes_data_xor(index, at, mask=1):
    """Flips bits of byte at of member index's enciphered data (counted
    after its AES-256 salt and verifier; negative: from its end)."""
    def patch(data):
        header = list(central_headers(data))[index]
        (local,) = struct.unpack_from("<I", data, header + 42)
        (size,) = struct.unpack_from("<I", data, header + 20)
        start = local_data_offset(data, local)
        offset = start + 18 + at if at >= 0 else start + size + at
        return patched(data, offset, "<B", data[offset] ^ mask)
    return patch


def chain(*patches):
    def patch(data):
        for one in patches:
            data = one(data)
        return data
    return patch


def cut(count):
    return lambda data: data[:-count]


# ---- the case table

@dataclasses.dataclass
class Case:
    name: str
    group: str
    archive: str = None  # key of ARCHIVES; None: the stub with nothing appended
    out: str = None  # None: "Inflating: NAME...done" for every file member in directory order
    err: str = ""
    status: int = 0
    stdin: bytes = b""
    patch: object = None
    append: str = "absolute"  # "absolute", "cat" or "zipA" (Info-ZIP zip -A)
    password: bytes = None  # for unzip's reference tree
    base: str = "unzip"  # the expected tree: "unzip" of the archive, or "empty"
    # overrides of that tree: bytes, DIR, Link(target), None (absent), or a test of the content
    tree: dict = dataclasses.field(default_factory=dict)
    meta: bool = True  # compare modification times and modes with unzip's
    setup: object = None  # setup(case folder, output folder)
    platforms: tuple = ("linux", "wine")  # "linux": the arm64 stub under qemu too
    argv0: str = None
    drive: bool = False  # asks for a disk: drive A is the case's drive folder, one such case at a time
    file_size_limit: int = None  # bytes a file may grow to (a disk that fills up)


def done(*names):
    return "".join(f"Inflating: {name}...done\n" for name in names)


def asked(name, local, result="done\n"):
    return f"Inflating: {name}...Please enter the password for {local}: {result}"


def drive_with_stub(case_folder, out):
    """Drive A holds a file by the program's name, with no archive in it."""
    drive = os.path.join(case_folder, "drive")
    os.makedirs(drive)
    for name in os.listdir(case_folder):
        if name.startswith("prog"):
            shutil.copy(os.path.join(case_folder, name), drive)


def block_with_directory(case_folder, out):
    os.makedirs(os.path.join(out, "sub", "blocked.txt"))


def link_to_dev_full(case_folder, out):
    for name in ("full.txt", "big_full.txt"):
        os.symlink("/dev/full", os.path.join(out, name))


UNABLE_INVALID = dict(out="failed readzipfile\n", err="The zip archive is invalid.\n" + MSG_UNABLE, status=1, base="empty")
UNABLE_SHORT = dict(out="failed readzipfile\n", status=1, base="empty",
                    err="Unexpected end of file reached. The zip archive may be corrupted.\n" + MSG_UNABLE)
UNSAFE_DONE = "Inflating: ../evil.txt...\nInflating: /abs.txt...done\nInflating: a//b.txt...done\nInflating: C:/x.txt...\n"
UNSAFE_ERR = "".join(MSG_OUTSIDE.format(n) for n in ("../evil.txt", "../evildir/", "C:/x.txt", "d/../../up.txt"))
ENC_MIX_DONE = done("p1.txt") + asked("e1.txt", "e1.txt") + asked("sub/e2.txt", "sub{S}e2.txt") + done("p2.txt")
ENC_MIX_REFUSED = dict(out=done("p1.txt") + asked("e1.txt", "e1.txt", "") + asked("sub/e2.txt", "sub{S}e2.txt", "")
                       + done("p2.txt"), err=MSG_SORRY * 2, tree={"e1.txt": None, "sub": DIR, "sub/e2.txt": None})

CASES = [
    # opening the archive and reading its directory
    Case("nothing_appended", "directory", out="Did not find end-of-central\n" + LAST_PROMPT + "failed readzipfile\n",
         err="User aborted.\n" + MSG_UNABLE, status=1, base="empty"),
    Case("nothing_appended_no_disk", "directory", stdin=b"\n", drive=True, status=1, base="empty",
         out="Did not find end-of-central\n" + LAST_PROMPT + "failed readzipfile\n",
         err="Error while opening file.\n" + MSG_UNABLE),
    Case("nothing_appended_disk_without_archive", "directory", stdin=b"\n", setup=drive_with_stub, drive=True,
         out="Did not find end-of-central\n" + LAST_PROMPT + "Did not find end-of-central\n"
             "Couldn't find end of central\nfailed readzipfile\n", err="The zip archive is invalid.\n" + MSG_UNABLE,
         status=1, base="empty"),
    Case("end_record_truncated", "directory", "three", patch=cut(5), **UNABLE_SHORT),
    Case("comment_shorter_than_its_length", "directory", "three", patch=end_field(20, "<H", 10), **UNABLE_SHORT),
    Case("directory_offset_at_garbage", "directory", "three", patch=lambda d: end_field(16, "<I",
         struct.unpack_from("<I", d, find_end_record(d) + 16)[0] + 1)(d), **UNABLE_INVALID),
    Case("empty_archive", "directory", "empty", out="", base="empty"),
    Case("too_many_entries", "directory", "three", patch=end_field(10, "<H", 2),
         err="Warning: Too many files were found in the archive. The archive may be corrupted.\n"),
    Case("too_few_entries", "directory", "three", patch=end_field(10, "<H", 4),
         err="Warning: Too few files were found in the archive. The archive may be corrupted."),
    Case("version_needed_21", "directory", "three", patch=central_field(1, 6, "<H", 21), err=WARN_VERSION),
    Case("each_warning_once_in_order", "directory", "three", status=1, out=done("one.txt", "three.txt"),
         patch=chain(central_field(0, 6, "<H", 21), central_field(2, 6, "<H", 45), central_field(1, 10, "<H", 6)),
         err=WARN_VERSION + WARN_METHOD + "Unknown compression type for two.txt. I can only handle deflate and store.\n",
         tree={"two.txt": None}),
    Case("empty_name_in_directory", "directory", "three", patch=central_field(0, 28, "<H", 0), **UNABLE_SHORT),
    Case("started_by_bare_name", "directory", "three", argv0="setup", platforms=("linux",)),

    # extraction
    Case("zip_deflated_tree", "extract", "zip9"),
    Case("zip_stored_tree", "extract", "zip0"),
    Case("python_stored_deflated_empty", "extract", "python"),
    Case("python_data_descriptors", "extract", "streamed"),
    # Zip64 in the local header and data descriptor alone: version 4.5, and no warning.
    Case("zip_from_stdin_data_descriptor", "extract", "zip_stdin"),
    Case("twenty_megabytes_random_and_text", "extract", "big"),
    Case("appended_with_cat", "extract", "zip9", append="cat"),
    Case("appended_with_zip_A", "extract", "zip9", append="zipA"),
    Case("existing_files_overwritten", "extract", "three", setup=lambda folder, out: write_files(
        out, {"one.txt": text(5000), "two.txt": b""})),
    Case("members_out_of_file_order", "extract", "three", patch=reorder([2, 0, 1]), out=done("three.txt", "one.txt", "two.txt")),
    Case("deflate_member_at_end_of_file", "extract", "tail0", base="empty", tree={"one.txt": text(50, 3)}),
    Case("deflate_member_2_bytes_before_end", "extract", "tail2", base="empty", tree={"one.txt": text(50, 3)}),
    Case("crc_mismatch", "extract", "three", patch=central_field(1, 16, "<I", 0x12345678), status=1, meta=False,
         out="Inflating: one.txt...done\nInflating: two.txt...\nInflating: three.txt...done\n", err=MSG_CRC),
    Case("corrupt_deflate_stream", "extract", "three", patch=data_byte(1, 0xFF), status=1, tree={"two.txt": b""},
         out="Inflating: one.txt...done\nInflating: two.txt...\nInflating: three.txt...done\n",
         err="Error: data error. invalid block type\n" + MSG_CRC),
    Case("deflate_stream_cut_short_stops", "extract", "three", patch=central_field(1, 20, "<I", 200), status=1,
         out="Inflating: one.txt...done\nInflating: two.txt...", err="Error: buffer error. \n",
         tree={"two.txt": lambda got: 0 < len(got) < 3000 and text(60, 4).startswith(got), "three.txt": None}, meta=False),
    Case("local_header_past_end_stops", "extract", "three", patch=central_field(1, 42, "<I", 0x7FFFFF00), status=1,
         out="Inflating: one.txt...done\nInflating: two.txt...", tree={"two.txt": None, "three.txt": None}, meta=False,
         err="Error: Unexpected end of file reached. The zip archive may be corrupted.\n"),
    # A size that takes in the members after it: they lie inside its span, and
    # it writes no more than its uncompressed size.
    Case("stored_member_runs_past_end", "extract", "python", patch=central_field(0, 20, "<I", 1 << 24), status=1,
         out="Inflating: s.txt...\n" + done("s0.txt"),
         err="Error: s.txt is larger than the zip archive says. File may be corrupted.\n"
             + "".join(MSG_OVERLAP % name for name in ("d.txt", "e0.txt", "pydir/sub/f.txt", "pydir/setuid.sh")),
         base="empty", meta=False, tree={"s.txt": text(30, 15), "s0.txt": b"", "pydir": DIR}),
    Case("deflate_size_too_large_ends_at_stream_end", "extract", "python", patch=central_field(5, 20, "<I", 1 << 24),
         out=done("s.txt", "d.txt", "e0.txt", "s0.txt", "pydir/sub/f.txt"), err=MSG_OVERLAP % "pydir/setuid.sh",
         status=1, tree={"pydir/setuid.sh": None}),
    Case("bzip2_between_deflated", "extract", "bzip2", out=done("a.txt", "c.txt"), status=1, tree={"b.txt": None},
         err=WARN_VERSION + WARN_METHOD + "Unknown compression type for b.txt. I can only handle deflate and store.\n"),
    Case("output_blocked_by_directory", "extract", "blocked", setup=block_with_directory, status=1,
         out="Inflating: sub/blocked.txt..." + done("after.txt"), err="Error opening sub{S}blocked.txt for output\n",
         tree={"sub/blocked.txt": DIR}),
    # Links in the way are replaced, never written through.
    Case("links_to_dev_full_replaced", "extract", "full", setup=link_to_dev_full, platforms=("linux",)),
    Case("write_failure_file_size_limit", "extract", "full", file_size_limit=4096, platforms=("linux",), status=1,
         out=done("full.txt") + "Inflating: big_full.txt...\n" + done("after.txt"), err=MSG_WRITE + MSG_CRC,
         tree={"big_full.txt": lambda got: len(got) == 4096}),
    Case("unsafe_names_posix", "extract", "unsafe", platforms=("linux",), status=1, base="empty",
         out=UNSAFE_DONE + done("a\\b.txt") + "Inflating: d/../../up.txt...\n"
             + done("..\\win.txt", "\\root.txt", "a:b.txt", "ok.txt"),
         err=UNSAFE_ERR, tree={"abs.txt": b"abs\n", "a": DIR, "a/b.txt": b"ab\n", "a\\b.txt": b"backslash\n",
                               "..\\win.txt": b"win\n", "\\root.txt": b"root\n", "a:b.txt": b"stream\n", "ok.txt": b"ok\n"}),
    # A leading backslash is dropped as a leading slash is.
    Case("unsafe_names_windows", "extract", "unsafe", platforms=("wine",), status=1, base="empty",
         out=UNSAFE_DONE + done("a\\b.txt")
             + "".join(f"Inflating: {n}...\n" for n in ("d/../../up.txt", "..\\win.txt")) + done("\\root.txt")
             + "Inflating: a:b.txt...\n" + done("ok.txt"),
         err=UNSAFE_ERR + "".join(MSG_OUTSIDE.format(n) for n in ("..\\win.txt", "a:b.txt")),
         tree={"abs.txt": b"abs\n", "a": DIR, "a/b.txt": b"backslash\n", "root.txt": b"root\n", "ok.txt": b"ok\n"}),

    # encrypted members
    Case("right_password_mixed", "cipher", "enc_mix", stdin=b"secret\nsecret\n", out=ENC_MIX_DONE, password=SECRET),
    Case("wrong_password_mixed", "cipher", "enc_mix", stdin=b"wrong\nwrong\n", **ENC_MIX_REFUSED),
    Case("end_of_input_at_once", "cipher", "enc_mix", stdin=b"", **ENC_MIX_REFUSED),
    Case("encrypted_appended_with_cat", "cipher", "enc_mix", append="cat", stdin=b"secret\n", out=ENC_MIX_DONE,
         password=SECRET),
    Case("end_of_input_reuses_password", "cipher", "enc_mix", stdin=b"secret\n", out=ENC_MIX_DONE, password=SECRET),
    Case("crlf_password_line", "cipher", "enc_mix", stdin=b"secret\r\nsecret\r\n", out=ENC_MIX_DONE, password=SECRET),
    Case("empty_line_is_empty_password", "cipher", "enc_mix", stdin=b"secret\n\nsecret\n", password=SECRET,
         out=done("p1.txt") + asked("e1.txt", "e1.txt") + asked("sub/e2.txt", "sub{S}e2.txt", "") + done("p2.txt"),
         err=MSG_SORRY, tree={"sub/e2.txt": None}),
    Case("encrypted_stored_and_size_12", "cipher", "enc_stored", stdin=b"secret\n", password=SECRET,
         out=asked("es.txt", "es.txt") + asked("empty.txt", "empty.txt")),
    Case("encrypted_too_short", "cipher", "enc_stored", stdin=b"secret\n", password=SECRET,
         patch=central_field(1, 20, "<I", 11), status=1, tree={"empty.txt": None},
         out=asked("es.txt", "es.txt") + "Inflating: empty.txt...\n",
         err="Error: empty.txt is too short to be encrypted. The zip archive may be corrupted.\n"),
    Case("seven_zip_crc_check_byte", "cipher", "enc_7z", stdin=b"secret\n", password=SECRET,
         out=asked("sub/z0.txt", "sub{S}z0.txt") + asked("z.txt", "z.txt") + asked("zs.bin", "zs.bin")),
    Case("seven_zip_wrong_password", "cipher", "enc_7z", stdin=b"wrong\n", err=MSG_SORRY * 3, base="empty",
         out=asked("sub/z0.txt", "sub{S}z0.txt", "") + asked("z.txt", "z.txt", "") + asked("zs.bin", "zs.bin", ""),
         tree={"sub": DIR}),
    # the check byte: the CRC's high byte, or with flag bit 3 (every zip -e member) the time's high byte
    Case("check_byte_ignores_crc_low_bytes", "cipher", "enc_7z", stdin=b"secret\n", password=SECRET, status=1,
         patch=central_xor(1, 16, 0x00FFFFFF), err=MSG_CRC, meta=False,
         out=asked("sub/z0.txt", "sub{S}z0.txt") + asked("z.txt", "z.txt", "\n") + asked("zs.bin", "zs.bin")),
    Case("check_byte_with_bit_3_ignores_crc", "cipher", "enc_mix", stdin=b"secret\n", password=SECRET, status=1,
         patch=central_xor(1, 16, 0xFF000000), err=MSG_CRC, meta=False,
         out=done("p1.txt") + asked("e1.txt", "e1.txt", "\n") + asked("sub/e2.txt", "sub{S}e2.txt") + done("p2.txt")),
    Case("check_byte_with_bit_3_from_time", "cipher", "enc_mix", stdin=b"secret\n", password=SECRET,
         patch=central_xor(1, 12, 0x0100), err=MSG_SORRY, tree={"e1.txt": None},
         out=done("p1.txt") + asked("e1.txt", "e1.txt", "") + asked("sub/e2.txt", "sub{S}e2.txt") + done("p2.txt")),
    Case("zip_stdin_flag_bit_3", "cipher", "enc_stdin", stdin=b"pw\n", password=b"pw", out=asked("-", "-")),
    Case("password_253_bytes", "cipher", "pw253", stdin=(PW253 + b"\n") * 2, password=PW253,
         out=asked("l1.txt", "l1.txt") + asked("l2.txt", "l2.txt")),
    Case("password_254_bytes_leaves_newline", "cipher", "pw254", stdin=(PW254 + b"\n") * 2, password=PW254,
         out=asked("l1.txt", "l1.txt") + asked("l2.txt", "l2.txt", ""), err=MSG_SORRY, tree={"l2.txt": None}),
]


AES_ASKED = "".join(asked(n, n.replace("/", "{S}")) for n in ("small.txt", "sub/z0.txt", "z.txt", "zs.bin"))
MSG_ALTERED = "Error: {} was altered: its authentication code does not match. File may be corrupted.\n"
AE1_ASKED = done("plain.txt") + "".join(asked(n, n) for n in ("d1.txt", "s2.bin", "d3.txt")) + done("after.txt")

CASES += [
    # AES members (7-Zip writes AE-2: no CRC-32, the authentication code checks the data)
    Case("aes128_7z", "aes", "aes_7z_128", stdin=b"secret\n", out=AES_ASKED, password=SECRET),
    Case("aes192_7z", "aes", "aes_7z_192", stdin=b"secret\n", out=AES_ASKED, password=SECRET),
    Case("aes256_7z", "aes", "aes_7z_256", stdin=b"secret\n" * 4, out=AES_ASKED, password=SECRET),
    Case("aes256_7z_appended_with_cat", "aes", "aes_7z_256", append="cat", stdin=b"secret\n", out=AES_ASKED,
         password=SECRET),
    Case("aes256_7z_wrong_password", "aes", "aes_7z_256", stdin=b"Secret\n", err=MSG_SORRY * 4, base="empty",
         out=AES_ASKED.replace("done\n", ""), tree={"sub": DIR}),
    Case("aes256_7z_one_wrong_password", "aes", "aes_7z_256", stdin=b"secret\nsecret\nwrong\nsecret\n", password=SECRET,
         out=asked("small.txt", "small.txt") + asked("sub/z0.txt", "sub{S}z0.txt") + asked("z.txt", "z.txt", "")
             + asked("zs.bin", "zs.bin"), err=MSG_SORRY, tree={"z.txt": None}),
    Case("aes256_7z_stored_data_altered", "aes", "aes_7z_256", stdin=b"secret\n", password=SECRET, status=1,
         patch=aes_data_xor(3, 100), err=MSG_ALTERED.format("zs.bin"), meta=False,
         out=AES_ASKED[:AES_ASKED.rindex("done")] + "\n",
         tree={"zs.bin": lambda got: got != AES_FILES["zs.bin"] and len(got) == 12000}),
    Case("aes256_7z_code_altered", "aes", "aes_7z_256", stdin=b"secret\n", password=SECRET, status=1,
         patch=aes_data_xor(2, -1, 0x80), err=MSG_ALTERED.format("z.txt"), meta=False,
         out=asked("small.txt", "small.txt") + asked("sub/z0.txt", "sub{S}z0.txt") + asked("z.txt", "z.txt", "\n")
             + asked("zs.bin", "zs.bin")),
    Case("aes_ae1_each_strength", "aes", "aes_ae1", stdin=b"secret\n", out=AE1_ASKED, password=SECRET),
    Case("aes_ae1_crc_checked", "aes", "aes_ae1", stdin=b"secret\n", password=SECRET, status=1, meta=False,
         patch=central_xor(2, 16, 1), err=MSG_CRC, out=AE1_ASKED.replace("s2.bin: done\n", "s2.bin: \n")),
    Case("aes_ae1_wrong_password", "aes", "aes_ae1", stdin=b"wrong\n", err=MSG_SORRY * 3,
         out=done("plain.txt") + "".join(asked(n, n, "") for n in ("d1.txt", "s2.bin", "d3.txt")) + done("after.txt"),
         tree={"d1.txt": None, "s2.bin": None, "d3.txt": None}),
]


# ---- inputs, shared by the targets' runs (and terminal_cases.py) through a lock

class Inputs:
    """Archives and unzip's reference trees, made once in folder."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)

    def _made(self, name, make):
        path = os.path.join(self.folder, name)
        with open(os.path.join(self.folder, ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.exists(path):
                shutil.rmtree(path + ".tmp", ignore_errors=True)
                make(path + ".tmp")
                os.rename(path + ".tmp", path)
        return path

    def archive(self, key):
        def make(path):
            scratch = path + ".src"
            shutil.rmtree(scratch, ignore_errors=True)
            os.makedirs(scratch)
            for _ in range(20):  # one wrong password in 256 passes the header check: make another
                data = ARCHIVES[key](scratch)
                if not any(accepts_wrong_password(data, wrong) for wrong in WRONG):
                    break
            with open(path, "wb") as out:
                out.write(data)
            os.utime(path, (1615000000, 1615000000))  # long past, so a restored time shows
            shutil.rmtree(scratch)
        return self._made(key + ".zip", make)

    def reference(self, key, password):
        archive = self.archive(key)

        def make(path):
            os.makedirs(path)
            # Info-ZIP unzip reads no AES members: 7-Zip extracts those.
            command = ["unzip", "-qq", "-o", *(["-P", password] if password else []), archive]
            if key.startswith("aes"):
                command = ["7za", "x", "-y", "-p" + (password or b"no password").decode("latin-1"), archive]
            subprocess.run(command, cwd=path, check=False, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        suffix = "-" + hashlib.sha1(password).hexdigest()[:8] if password else ""
        return self._made(key + ".unzip" + suffix, make)


def accepts_wrong_password(data, wrong):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        for info in archive.infolist():
            if not (info.flag_bits & 1 and info.compress_size >= 12):
                continue
            start = local_data_offset(data, info.header_offset)
            hour, minute, second = info.date_time[3:]
            dos_time = (hour << 11) | (minute << 5) | (second // 2)
            check_byte = (dos_time >> 8) if info.flag_bits & 8 else (info.CRC >> 24)
            # Checked here: Python's zipfile takes an empty password for none at all.
            if ZipCipher(wrong).decrypt(data[start:start + 12])[11] == check_byte:
                return True
    return False


# ---- running one case and comparing

def expected_tree(case, reference, platform):
    """unzip's tree, with the times and modes the case compares, under the case's overrides."""
    expected = {}
    if case.base == "unzip":
        expected = without_metadata(read_tree(reference, folders=True, metadata=True),
                                    times=case.meta, modes=case.meta and platform == "linux")
    expected.update(case.tree)
    return expected


def build_program(case, stub, inputs, path):
    with open(stub, "rb") as f:
        stub_bytes = f.read()
    if case.archive is None:
        data = stub_bytes
    else:
        with open(inputs.archive(case.archive), "rb") as f:
            data = sfx_bytes(stub_bytes, f.read(), absolute=case.append == "absolute")
    if case.patch:
        data = case.patch(data)
    with open(path, "wb") as out:
        out.write(data)
    os.chmod(path, 0o755)
    if case.append == "zipA":
        subprocess.run(["zip", "-qA", path], check=True, stdin=subprocess.DEVNULL)


def expected_progress(case, inputs):
    with zipfile.ZipFile(inputs.archive(case.archive)) as archive:
        return done(*(i.filename for i in archive.infolist() if not i.filename.endswith("/")))


@contextlib.contextmanager
def drive_a(target, folder):
    """Points the wine prefix's drive A at folder, for one case at a time
    (pytest -n runs cases side by side)."""
    with open(target.prefix + ".drive-a.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        set_drive_a(target.prefix, folder)
        yield


def run_case(case, target, inputs):
    """Runs case on target; returns a list of differences (empty: passed)."""
    folder = os.path.join(target.work, target.target, case.name)  # the targets' runs share WORK
    wine = target.arch is not None
    shutil.rmtree(folder, ignore_errors=True)
    out, drive = os.path.join(folder, "out"), os.path.join(folder, "drive")
    os.makedirs(out)
    program = os.path.join(folder, "prog" + (".exe" if wine else ""))
    build_program(case, target.stub, inputs, program)
    if case.setup:
        case.setup(folder, out)
    with drive_a(target, drive) if case.drive and wine else contextlib.nullcontext():
        result = target.run(program, stdin=case.stdin, cwd=out, timeout=120, argv0=case.argv0,
                            env=dict(os.environ, SFX_DRIVE_A=drive), file_size_limit=case.file_size_limit)
    shown = windows_path(program) if wine else (case.argv0 or program)
    problems = []
    for what, got, want in (("stdout", result.stdout, case.out), ("stderr", result.stderr, case.err)):
        if want is None:
            want = expected_progress(case, inputs)
        want = want.replace("{A}", shown).replace("{S}", "\\" if wine else "/").encode("latin-1")
        if wine:
            got = got.replace(b"\r\n", b"\n")
        if got != want:
            problems.append(f"{what}:\n  got  {got!r}\n  want {want!r}")
    if result.status != case.status:
        problems.append(f"exit status {result.status}, want {case.status}")
    reference = inputs.reference(case.archive, case.password) if case.base == "unzip" else None
    got = read_tree(out, folders=True, metadata=True)
    problems += tree_differences(got, expected_tree(case, reference, "wine" if wine else "linux"), time_slack=2)
    strays = names_below(folder, folders=True, skip={os.path.basename(program), "out", "drive"})
    return problems + [f"written outside the output folder: {name}" for name in strays]


def pytest_generate_tests(metafunc):
    """The cases of the target's system: the arm64 stub under qemu takes the Linux ones."""
    system = "wine" if metafunc.config.option.target in WINDOWS_TARGETS else "linux"
    metafunc.parametrize("case", [case for case in CASES if system in case.platforms],
                         ids=lambda case: f"{case.group}-{case.name}")


@pytest.fixture(scope="module")
def inputs(work):
    return Inputs(os.path.join(work, "inputs"))


def test_case(case, target, inputs):
    problems = run_case(case, target, inputs)
    assert not problems, "\n".join(problems)
