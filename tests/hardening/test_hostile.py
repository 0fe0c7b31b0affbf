"""Hostile archives: each built byte by byte, appended to the stub and run;
each must end with its expected message and exit status, show member names
without control bytes, and write nothing outside the extraction folder.
A Windows target runs the Windows spellings and a few others; --valgrind
runs the (glibc) stub under valgrind memcheck.
"""
import atexit
import os
import shutil
import stat
import tempfile
import zlib

from targets import WINDOWS_TARGETS
from zip_writer import CENTRAL_SIGNATURE, LOCAL_HEADER_SIZE, LOCAL_SIGNATURE, ZIP64_LOCATOR_SIGNATURE
from zip_writer import Member, build, unix, zip64_extra


OUTSIDE = "would be written outside the current directory. This file will not be unzipped."
UNEXPECTED_END = "Unexpected end of file reached. The zip archive may be corrupted."
OVERLAP = "Error: %s overlaps another member (a possible zip bomb). This file will not be unzipped."
LARGER = "Error: %s is larger than the zip archive says. File may be corrupted."
LINK_OUTSIDE = "Error: %s is a link that leads outside the current directory. This link will not be made."
SORRY = "Sorry, you did not enter a valid password. This file will not be unzipped."
ALTERED = "Error: %s was altered: its authentication code does not match. File may be corrupted."
TOO_SHORT = "Error: %s is too short to be encrypted. The zip archive may be corrupted."
UNKNOWN_METHOD = "Unknown compression type for %s. I can only handle deflate and store."
AES_TEXT = b"AES member data " * 300
# With the AES-128 salt 00 01 ... 07, this wrong password has the same
# verifier as "pw" (found by trying one guess after another): only the
# authentication code tells it apart.
VERIFIER_TWIN = b"guess54290"
ESCAPE_NAME = "\x1b[2J\x1b]0;owned\x07name\x7f.txt"
ESCAPE_SHOWN = "?[2J?]0;owned?name?.txt"


def never_ending_deflate():
    """Deflate blocks with no final block: the stream never ends."""
    squeezer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return squeezer.compress(b"x" * 5000) + squeezer.flush(zlib.Z_SYNC_FLUSH) + b"\x00\x00\x00\xff\xff" * 200


# Each archive is a function of the bytes before it (the stub).
def many_entries(count):
    """count entries, each with a local header of its own: a file, count - 2
    entries of one folder, and a file in that folder."""
    members = [Member("firstone.txt", b"z")] + [Member("dir/", b"") for _ in range(count - 2)]
    return lambda prefix: build(members + [Member("dir/last.txt", b"z")], prefix=prefix)


def one(name, data=b"x", **fields):
    return lambda prefix: build([Member(name, data, **fields)], prefix=prefix)


def archive(members, **options):
    return lambda prefix: build(members, prefix=prefix, **options)


def overlapping():
    """Three entries reading the one member's data."""
    shared = [Member(name, b"shared data") for name in ("b.txt", "c.txt")]
    return archive([Member("a.txt", b"shared data")], central_only=shared)


def link_to_dev_full(work):
    os.symlink("/dev/full", os.path.join(work, "full.txt"))


def bomb(count):
    """count entries of one deflated member of 1 MiB of zeros."""
    shared = [Member("bomb%05d.bin" % i, bytes(1 << 20), method=8) for i in range(1, count)]
    return archive([Member("bomb00000.bin", bytes(1 << 20), method=8)], central_only=shared)


def quoted_member():
    """A member whose stored data holds a whole second member, local header
    and all, that the directory lists too: the second overlaps the first."""
    inner = build([Member("inner.txt", b"inner data")])
    inner = inner[:inner.index(CENTRAL_SIGNATURE)]

    def make(prefix):
        image = build([Member("outer.bin", inner)], prefix=prefix)
        start = image.index(LOCAL_SIGNATURE, len(prefix) + LOCAL_HEADER_SIZE)
        return build([Member("outer.bin", inner)], prefix=prefix,
                     central_only=[Member("inner.txt", b"inner data", local_offset=start)])
    return make


def aes(name, data=AES_TEXT, strength=3, method=8, **fields):
    return one(name, data, method=method, password="pw", aes=strength, **fields)


def flip_aes_byte(at):
    """An AES-256 deflated member whose enciphered bytes have bit 0 of
    byte at (counted from the data's start, after salt and verifier) flipped."""
    def make(prefix):
        image = bytearray(aes("a.txt")(prefix))
        image[len(prefix) + 30 + len("a.txt") + 11 + 16 + 2 + at] ^= 1
        return bytes(image)
    return make


def aes_cut(name, payload_size):
    """An AES-256 member whose data is payload_size bytes in all."""
    return lambda prefix: build([Member(name, b"x", password="pw", aes=3,
                                        payload=bytes(range(payload_size)))], prefix=prefix)


def appended(members, **options):
    """Appended with plain cat: every offset counts from the archive's start."""
    return lambda prefix: prefix + build(members, **options)


ONES = 0xFFFFFFFF
ZIP64_NO_RECORD = "Error: the Zip64 end locator points to no Zip64 end record."
ZIP64_END_TOO_LARGE = "Error: the Zip64 end record holds counts or offsets too large to be true."
ZIP64_SHORT = "Error: the Zip64 extra field of %s is shorter than the values it must hold."
ZIP64_TOO_LARGE = "Error: %s has a Zip64 size or offset too large to be true."
INVALID = "The zip archive is invalid."


def link(name, target):
    return one(name, target.encode(), **unix(0o120777))


def wrong_disk():
    """A set of two disks whose member lies on the first: drive A holds a
    file of the right name but another disk's bytes."""
    return archive([Member("s.txt", b"spanned", disk=0, local_offset=0)], this_disk=1, directory_disk=1)


# What a case finds in the scratch tree besides the expected files: each
# returns a list of problems. OUTSIDE_FOLDER is a folder outside the scratch
# root that links made by prepare point at.
OUTSIDE_FOLDER = tempfile.mkdtemp(prefix="sfxhard-outside-")
atexit.register(shutil.rmtree, OUTSIDE_FOLDER, True)
VICTIM = os.path.join(OUTSIDE_FOLDER, "victim.txt")
VICTIM_TEXT = b"must stay as it is\n"


def reset_outside():
    for name in os.listdir(OUTSIDE_FOLDER):
        os.remove(os.path.join(OUTSIDE_FOLDER, name))
    with open(VICTIM, "wb") as out:
        out.write(VICTIM_TEXT)


def link_in_work(name, target):
    def prepare(work):
        reset_outside()
        os.symlink(target, os.path.join(work, name))
    return prepare


def hard_link_in_work(name):
    def prepare(work):
        reset_outside()
        os.link(VICTIM, os.path.join(work, name))
    return prepare


def fifo_in_work(name):
    return lambda work: os.mkfifo(os.path.join(work, name))


def file_in_work(name):
    def prepare(work):
        with open(os.path.join(work, name), "wb") as out:
            out.write(b"in the way")
    return prepare


def folder_link_in_work(name, target_inside):
    def prepare(work):
        os.makedirs(os.path.join(work, target_inside))
        os.symlink(target_inside, os.path.join(work, name))
    return prepare


def wrong_disk_in_drive(work):
    drive = os.path.join(work, *[".."] * 4, "drive")
    with open(os.path.join(drive, "setup.exe"), "wb") as out:
        out.write(b"another disk " * 100)


def outside_untouched(work):
    problems = []
    with open(VICTIM, "rb") as victim:
        if victim.read() != VICTIM_TEXT:
            problems.append("the file outside was changed")
    if sorted(os.listdir(OUTSIDE_FOLDER)) != ["victim.txt"]:
        problems.append("written in the folder outside: %r" % os.listdir(OUTSIDE_FOLDER))
    return problems


def plain_file(name, content=b"x"):
    def verify(work):
        path = os.path.join(work, name)
        if os.path.islink(path) or not os.path.isfile(path):
            return ["%s is not a plain file" % name]
        with open(path, "rb") as found:
            return [] if found.read() == content else ["%s holds other bytes" % name]
    return verify


def all_of(*checks):
    return lambda work: [problem for check in checks for problem in check(work)]


def link_to(name, target):
    def verify(work):
        path = os.path.join(work, name)
        if not os.path.islink(path) or os.readlink(path) != target:
            return ["%s is not a link to %s" % (name, target)]
        return []
    return verify


def no_link(name):
    return lambda work: ["%s exists" % name] if os.path.lexists(os.path.join(work, name)) else []


def mode_is(name, mode):
    def verify(work):
        found = stat.S_IMODE(os.stat(os.path.join(work, name)).st_mode)
        return [] if found == mode else ["%s has mode %o, expected %o" % (name, found, mode)]
    return verify


def time_is(name, seconds):
    def verify(work):
        found = int(os.stat(os.path.join(work, name)).st_mtime)
        return [] if found == seconds else ["%s has time %d, expected %d" % (name, found, seconds)]
    return verify


def dos_attributes(expected):
    """The read-only (1), hidden (2) and system (4) bits that wine shows each
    file with: read-only as the Unix write bit, the others in its xattr."""
    def verify(work):
        problems = []
        for name, bits in expected.items():
            path = os.path.join(work, name)
            found = 0 if os.stat(path).st_mode & stat.S_IWUSR else 1
            if "user.DOSATTRIB" in os.listxattr(path):
                found |= int(os.getxattr(path, "user.DOSATTRIB").split(b"\0")[0], 16) & 6
            if found != bits:
                problems.append("%s has DOS attributes %d, expected %d" % (name, found, bits))
        return problems
    return verify


def dos_seconds(date, time_of_day):
    """The local time that a DOS date and time stand for, as the stub sets it."""
    import time as clock
    parts = ((date >> 9) + 1980, (date >> 5) & 15, date & 31, time_of_day >> 11, (time_of_day >> 5) & 63,
             (time_of_day & 31) * 2, 0, 0, -1)
    return int(clock.mktime(parts))


# name, archive, stdin, expected status, texts expected on stdout+stderr,
# files expected in the extraction folder (None: not checked), set-up,
# and optionally a last check of the tree.
COMMON_CASES = [
    ("dot-dot", one("../evil.txt"), b"", 1, ["Error: ../evil.txt " + OUTSIDE], [], None),
    ("dot-dot deep", one("a/b/../../../evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("dot-dot after dot", one("./../evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("dot-dot folder entry", one("../evil/", b""), b"", 1, [OUTSIDE], [], None),
    ("drive and slash", one("C:/evil.txt"), b"", 1, ["Error: C:/evil.txt " + OUTSIDE], [], None),
    ("NUL then dot-dot", one(b"good.txt\0/../../../evil.txt"), b"", 0, ["Inflating: good.txt...done"],
     ["good.txt"], None),
    ("dot-dot then NUL", one(b"..\0/safe/"), b"", 1, [OUTSIDE], [], None),
    ("directory offset past the end", archive([Member("a.txt", b"abc")], directory_offset=10**7), b"", 1,
     [UNEXPECTED_END, "Error: Unable to open the zip archive"], [], None),
    ("directory offset 0xFFFFFFFF", archive([Member("a.txt", b"abc")], directory_offset=0xFFFFFFFF), b"", 1,
     ["Error: Unable to open the zip archive"], [], None),
    ("local header past the end", one("a.txt", b"abc", local_offset=10**7), b"", 1,
     ["Error: " + UNEXPECTED_END], None, None),
    ("local header at 0xFFFFFFFF", one("a.txt", b"abc", local_offset=0xFFFFFFFF), b"", 1,
     ["Error: " + UNEXPECTED_END], None, None),
    ("stored size 0xFFFFFFFF", one("a.txt", b"abc", compressed_size=0xFFFFFFFF), b"", 1,
     [LARGER % "a.txt"], ["a.txt"], None),
    ("deflated size 0xFFFFFFFF", one("a.txt", b"abc" * 99, method=8, compressed_size=0xFFFFFFFF), b"", 1,
     ["Error: buffer error."], None, None),
    ("uncompressed size 0xFFFFFFFF", one("a.txt", b"abc", uncompressed_size=0xFFFFFFFF), b"", 0,
     ["Inflating: a.txt...done"], ["a.txt"], None),
    ("overlapping members", overlapping(), b"", 1, [OVERLAP % "b.txt", OVERLAP % "c.txt"], ["a.txt"], None),
    ("zip bomb: 2000 entries of one member", bomb(2000), b"", 1, [OVERLAP % "bomb01999.bin"], ["bomb00000.bin"],
     None),
    ("a member quoted in another's data", quoted_member(), b"", 1, [OVERLAP % "inner.txt"], ["outer.bin"], None),
    ("local name longer than the central", one("a.txt", local_name=b"a.txt.evil"), b"", 1,
     ["Error: the local header of a.txt names another file."], [], None),
    ("local name of the same length", one("a.txt", local_name=b"b.txt"), b"", 1,
     ["Error: the local header of a.txt names another file."], [], None),
    ("no local signature", one("a.txt", local_signature=CENTRAL_SIGNATURE), b"", 1,
     ["Error: a.txt has no local header where the zip archive says."], [], None),
    ("local extra field the directory lacks", one("a.txt", b"data", local_extra=b"\x55\x54\x05\x00\x01abcd"),
     b"", 0, ["Inflating: a.txt...done"], ["a.txt"], None, plain_file("a.txt", b"data")),
    ("stored member larger than declared", one("s.txt", b"y" * 65536, uncompressed_size=16), b"", 1,
     [LARGER % "s.txt"], ["s.txt"], None, plain_file("s.txt", b"y" * 16)),
    ("deflated member larger than declared", one("d.bin", bytes(10 << 20), method=8, uncompressed_size=16), b"", 1,
     [LARGER % "d.bin"], ["d.bin"], None, plain_file("d.bin", bytes(16))),
    ("encrypted, shorter than its header", one("e.txt", b"", password="pw", payload=b"12345"), b"pw\n", 1,
     ["Error: e.txt is too short to be encrypted. The zip archive may be corrupted."], [], None),
    ("40 one-byte members declaring 255 MiB each",
     archive([Member("big%02d.txt" % i, b"x", method=8, uncompressed_size=255 << 20) for i in range(40)]), b"", 0,
     ["Inflating: big39.txt...done"], ["big%02d.txt" % i for i in range(40)], None, plain_file("big00.txt")),
    ("deflate stream that never ends", one("n.txt", b"x" * 5000, method=8, payload=never_ending_deflate()),
     b"", 1, ["Error: buffer error."], None, None),
    ("terminal controls, password prompt", one(ESCAPE_NAME, b"secret", password="pw"), b"no\n", 0,
     ["Please enter the password for %s: " % ESCAPE_SHOWN], [], None),
    ("terminal controls, unknown method", one(ESCAPE_NAME, method=99), b"", 1,
     ["Unknown compression type for %s." % ESCAPE_SHOWN], [], None),
    ("terminal controls, refused name", one("../\x1b[31m.txt"), b"", 1, ["Error: ../?[31m.txt " + OUTSIDE],
     [], None),
    ("link to /dev/full in the way", one("full.txt", bytes(30000)), b"", 0, ["Inflating: full.txt...done"],
     ["full.txt"], link_to_dev_full, plain_file("full.txt", bytes(30000))),
    ("disk prompt at end of input", archive([Member("s.txt", b"s", disk=1)], this_disk=1), b"", 1,
     ["Please insert segment 1 into drive A and press enter.", "User aborted."], [], None),
    ("password prompt at end of input", one("p.txt", b"secret", password="pw"), b"", 0,
     ["Sorry, you did not enter a valid password. This file will not be unzipped."], [], None),
    # AES members: the verifier refuses a wrong password as the traditional
    # check byte does; the authentication code fails altered data.
    ("AES-256 deflated, right password", aes("a.txt"), b"pw\n", 0, ["Inflating: a.txt...Please enter the password"
     " for a.txt: done"], ["a.txt"], None, plain_file("a.txt", AES_TEXT)),
    ("AES-128 stored, AE-1, right password", aes("a.txt", strength=1, method=0, aes_version=1), b"pw\n", 0, [],
     ["a.txt"], None, plain_file("a.txt", AES_TEXT)),
    ("AES-192 empty member", aes("e.txt", b"", strength=2, method=0), b"pw\n", 0, [], ["e.txt"], None,
     plain_file("e.txt", b"")),
    ("AES, wrong password", aes("a.txt"), b"pW\n", 0, [SORRY], [], None),
    ("AES, wrong password with the right verifier", aes("a.txt", strength=1, method=0), VERIFIER_TWIN + b"\n", 1,
     [ALTERED % "a.txt"], ["a.txt"], None),
    ("AES, the right password after that one", aes("a.txt", strength=1, method=0), b"pw\n", 0, [], ["a.txt"], None),
    ("AES, first enciphered byte altered", flip_aes_byte(0), b"pw\n", 1, [ALTERED % "a.txt"], None, None),
    ("AES, authentication code altered", flip_aes_byte(len(zlib.compress(AES_TEXT, 9)) - 6 + 9), b"pw\n", 1,
     [ALTERED % "a.txt"], ["a.txt"], None, plain_file("a.txt", AES_TEXT)),
    ("AES, AE-1 with a wrong CRC", aes("a.txt", aes_version=1, crc=1), b"pw\n", 1,
     ["CRC values do not match"], ["a.txt"], None),
    ("AES, AE-2 ignores the CRC field", aes("a.txt", crc=0x12345678), b"pw\n", 0, [], ["a.txt"], None),
    ("AES, data after the deflate stream", aes("a.txt", deflate_tail=b"tail" * 3000), b"pw\n", 0, [], ["a.txt"], None,
     plain_file("a.txt", AES_TEXT)),
    ("AES, shorter than salt, verifier and code", aes_cut("s.txt", 27), b"pw\n", 1, [TOO_SHORT % "s.txt"], [], None),
    ("AES, nothing but salt, verifier and code", aes_cut("s.txt", 28), b"pw\n", 0, [SORRY], [], None),
    ("AES, no extra field", aes("n.txt", central_extra=b"", local_extra=b""), b"pw\n", 1,
     [UNKNOWN_METHOD % "n.txt"], [], None),
    ("AES, extra field cut short", aes("n.txt", central_extra=b"\x01\x99\x05\x00\x02\x00AE\x03"), b"pw\n", 1,
     [UNKNOWN_METHOD % "n.txt"], [], None),
    ("AES, extra field running past its end", aes("n.txt", central_extra=b"\x01\x99\x09\x00\x02\x00AE\x03\x08\x00"),
     b"pw\n", 1, [UNKNOWN_METHOD % "n.txt"], [], None),
    ("AES, strength 4", aes("n.txt", central_extra=b"\x01\x99\x07\x00\x02\x00AE\x04\x08\x00"), b"pw\n", 1,
     [UNKNOWN_METHOD % "n.txt"], [], None),
    ("AES, bzip2 inside", aes("n.txt", central_extra=b"\x01\x99\x07\x00\x02\x00AE\x03\x0c\x00"), b"pw\n", 1,
     [UNKNOWN_METHOD % "n.txt"], [], None),
    ("AES, not flagged encrypted", aes("n.txt", flags=0), b"pw\n", 1, [UNKNOWN_METHOD % "n.txt"], [], None),
    # Zip64 records: sound ones are read, also behind a plain cat; bad ones end the run.
    ("Zip64 end record and extra fields",
     archive([Member("z.txt", b"zip64", compressed_size=ONES, uncompressed_size=ONES,
                     central_extra=zip64_extra(5, 5))], zip64={}), b"", 0, ["Inflating: z.txt...done"], ["z.txt"], None,
     plain_file("z.txt", b"zip64")),
    ("Zip64 archive appended with cat", appended([Member("c.txt", b"cat", local_offset=ONES, central_extra=zip64_extra(0))],
                                                 zip64={}), b"", 0, ["Inflating: c.txt...done"], ["c.txt"], None,
     plain_file("c.txt", b"cat")),
    ("Zip64 end record with every field all ones, disks too",
     archive([Member("d.txt", b"disk 0")], this_disk=0xFFFF, directory_disk=0xFFFF,
             zip64={"this_disk": 0, "directory_disk": 0, "locator_disk": 0, "total_disks": 1}), b"", 0,
     ["Inflating: d.txt...done"], ["d.txt"], None),
    ("Zip64 locator's signature in a name by chance",
     archive([Member("a.txt"), Member(b"n" + ZIP64_LOCATOR_SIGNATURE + bytes(4) + bytes([40]) + bytes(11), b"b")]),
     b"", 0,
     ["Inflating: a.txt...done"], None, None),
    ("Zip64 locator pointing outside the file", archive([Member("a.txt")], zip64={"locator_offset": 10**12}), b"",
     1, [ZIP64_NO_RECORD, INVALID, "Error: Unable to open the zip archive"], [], None),
    ("Zip64 locator naming a later disk", archive([Member("a.txt")], zip64={"locator_disk": 3}), b"", 1,
     [ZIP64_NO_RECORD], [], None),
    ("Zip64 end record with 2^40 entries", archive([Member("a.txt")], zip64={"entries": 1 << 40}), b"", 1,
     [ZIP64_END_TOO_LARGE], [], None),
    ("Zip64 directory offset past 2^63", archive([Member("a.txt")], zip64={"directory_offset": 1 << 63}), b"", 1,
     [ZIP64_END_TOO_LARGE], [], None),
    ("Zip64 directory offset past the end", archive([Member("a.txt")], zip64={"directory_offset": 1 << 40}), b"",
     1, [UNEXPECTED_END, "Error: Unable to open the zip archive"], [], None),
    ("Zip64 extra field too short", one("s.txt", compressed_size=ONES, uncompressed_size=ONES,
                                        central_extra=zip64_extra(1)), b"", 1, [ZIP64_SHORT % "s.txt", INVALID], [], None),
    ("Zip64 extra block cut by the field's end", one("s.txt", local_offset=ONES, central_extra=zip64_extra(0)[:9]), b"",
     1, [ZIP64_SHORT % "s.txt"], [], None),
    ("Zip64 size past 2^63", one("b.txt", uncompressed_size=ONES, central_extra=zip64_extra(1 << 63)), b"", 1,
     [ZIP64_TOO_LARGE % "b.txt"], [], None),
    ("Zip64 offset and size that wrap", one("w.txt", compressed_size=ONES, local_offset=ONES,
                                            central_extra=zip64_extra(2**63 - 1, 2**63 - 1)), b"", 1,
     [ZIP64_TOO_LARGE % "w.txt"], [], None),
    ("Zip64 local header past the end", one("p.txt", local_offset=ONES, central_extra=zip64_extra(1 << 40)), b"", 1,
     ["Error: " + UNEXPECTED_END], None, None),
    ("Zip64 deflated size past the end", one("d.txt", b"abc" * 99, method=8, compressed_size=ONES,
                                             central_extra=zip64_extra(1 << 40)), b"", 0, ["Inflating: d.txt...done"],
     ["d.txt"], None),
]

POSIX_CASES = [
    ("absolute path", one("/abs/evil.txt"), b"", 0, ["Inflating: /abs/evil.txt...done"], ["abs/evil.txt"], None),
    ("backslash dot-dot (a plain name here)", one("..\\evil.txt"), b"", 0, [], ["..\\evil.txt"], None),
    ("terminal controls in a name", one(ESCAPE_NAME), b"", 0, ["Inflating: %s...done" % ESCAPE_SHOWN],
     [ESCAPE_NAME], None),
    ("65535 entries", many_entries(65535), b"", 0, ["Inflating: dir/last.txt...done"],
     ["dir/last.txt", "firstone.txt"], None),
    # What is in the folder already is replaced, never written through.
    ("link to a file outside in the way", one("a.txt"), b"", 0, ["Inflating: a.txt...done"], ["a.txt"],
     link_in_work("a.txt", VICTIM), all_of(plain_file("a.txt"), outside_untouched)),
    ("dangling link in the way", one("a.txt"), b"", 0, [], ["a.txt"],
     link_in_work("a.txt", os.path.join(OUTSIDE_FOLDER, "new.txt")), all_of(plain_file("a.txt"), outside_untouched)),
    ("hard link to a file outside in the way", one("a.txt"), b"", 0, [], ["a.txt"], hard_link_in_work("a.txt"),
     all_of(plain_file("a.txt"), outside_untouched)),
    ("FIFO in the way", one("a.txt"), b"", 0, ["Inflating: a.txt...done"], ["a.txt"], fifo_in_work("a.txt"),
     plain_file("a.txt")),
    ("plain file in the way is overwritten", one("a.txt", b"new"), b"", 0, [], ["a.txt"], file_in_work("a.txt"),
     plain_file("a.txt", b"new")),
    ("folder link leading outside", one("d/x.txt"), b"", 1, ["Error: d/x.txt " + OUTSIDE], None,
     link_in_work("d", OUTSIDE_FOLDER), outside_untouched),
    ("folder link leading outside, folder entry", archive([Member("d/sub/", b"")]), b"", 1, [OUTSIDE], None,
     link_in_work("d", OUTSIDE_FOLDER), outside_untouched),
    ("folder link leading inside", one("d/x.txt"), b"", 0, ["Inflating: d/x.txt...done"], ["real/x.txt"],
     folder_link_in_work("d", "real"), plain_file("real/x.txt")),
    # Members stored as symbolic links.
    ("link member inside", archive([Member("t.txt", b"t"), Member("l", b"t.txt", **unix(0o120777))]), b"", 0,
     ["Inflating: l...done"], ["l", "t.txt"], None, link_to("l", "t.txt")),
    ("link member climbing inside", archive([Member("a/b/l", b"../../t.txt", **unix(0o120777))]), b"", 0, [],
     ["a/b/l"], None, link_to("a/b/l", "../../t.txt")),
    ("link member climbing out", link("a/l", "../../t.txt"), b"", 1, [LINK_OUTSIDE % "a/l"], [], None, no_link("a/l")),
    ("link member to an absolute path", link("l", VICTIM), b"", 1, [LINK_OUTSIDE % "l"], [], None,
     all_of(no_link("l"), outside_untouched)),
    ("link member then a member through it",
     archive([Member("sub/f0", b"0"), Member("l", b"sub", **unix(0o120777)), Member("l/f.txt", b"f")]), b"", 0, [],
     None, None, all_of(link_to("l", "sub"), plain_file("sub/f.txt", b"f"))),
    ("link member replacing a link outside", link("l", "t.txt"), b"", 0, [], None, link_in_work("l", VICTIM),
     all_of(link_to("l", "t.txt"), outside_untouched)),
    ("link member too long", link("l", "x" * 5000), b"", 1, ["Error: l is a link longer than 4095 bytes."], [], None),
    # Folders that cannot be made are reported.
    ("folder entry over a file", archive([Member("f/", b"")]), b"", 1, ["Error creating folder f"], ["f"],
     file_in_work("f")),
    ("folder entry with a name too long", archive([Member("d" * 300 + "/", b"")]), b"", 1,
     ["Error creating folder " + "d" * 300], [], None),
    ("folder entry that exists", archive([Member("e/", b"")]), b"", 0, [], [], lambda work: os.mkdir(
        os.path.join(work, "e"))),
    # Modes from the start, folder times and modes after the last member.
    ("mode 0600 after a failed CRC", one("p.txt", b"private", crc=1, **unix(0o100600)), b"", 1,
     ["CRC values do not match"], ["p.txt"], None, mode_is("p.txt", 0o600)),
    ("read-only folder with a file in it",
     archive([Member("ro/", b"", date=0x4A21, time=0x6000, **unix(0o40555)), Member("ro/f.txt", b"f")]), b"", 0, [],
     ["ro/f.txt"], None, all_of(mode_is("ro", 0o555), time_is("ro", dos_seconds(0x4A21, 0x6000)))),
    ("folder times, deepest first",
     archive([Member("a/", b"", date=0x4A21, **unix(0o40755)), Member("a/b/", b"", date=0x4B21, **unix(0o40700)),
              Member("a/b/c.txt", b"c")]), b"", 0, [], ["a/b/c.txt"], None,
     all_of(time_is("a", dos_seconds(0x4A21, 0x6000)), time_is("a/b", dos_seconds(0x4B21, 0x6000)),
            mode_is("a/b", 0o700))),
    # A spanned set: a local header that is not where the directory says is
    # another disk; the same segment is asked for again.
    ("wrong disk in the drive", wrong_disk(), b"\n\n", 1,
     [("Please insert segment 1 into drive A and press enter.", 3), "User aborted."], [], wrong_disk_in_drive),
]

WINE_TOO = ("dot-dot", "drive and slash", "terminal controls, refused name", "encrypted, shorter than its header",
            "overlapping members", "local name longer than the central", "stored member larger than declared",
            "folder entry that exists", "AES-256 deflated, right password", "AES-128 stored, AE-1, right password",
            "AES, wrong password", "AES, wrong password with the right verifier", "AES, first enciphered byte altered",
            "AES, data after the deflate stream", "AES, shorter than salt, verifier and code", "AES-192 empty member",
            "Zip64 archive appended with cat", "Zip64 locator pointing outside the file",
            "Zip64 extra field too short")

WINDOWS_CASES = [
    # Windows makes no links of members: the link's text becomes a file.
    ("link member as its text", archive([Member("t.txt", b"t"), Member("l", b"t.txt", **unix(0o120777))]), b"", 0,
     ["Inflating: l...done"], ["l", "t.txt"], None, plain_file("l", b"t.txt")),
    ("backslash dot-dot", one("..\\evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("backslash deep", one("a\\..\\..\\evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("drive, no separator", one("C:evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("drive and backslash", one("C:\\evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("dots and blanks", one(".. /evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("three dots", one(".../evil.txt"), b"", 1, [OUTSIDE], [], None),
    # Leading separators, in any spelling, are no part of the path.
    *[("leading %s" % lead, one(lead + "x.txt"), b"", 0, ["Inflating: %sx.txt...done" % lead], ["x.txt"], None)
      for lead in ("/", "\\", "/\\", "\\/", "//", "\\\\")],
    ("leading backslash, then folders", one("\\abs\\x.txt"), b"", 0, [], ["abs/x.txt"], None),
    # A folder link already in the extraction folder (a junction or directory
    # link to Windows) is followed only where it stays inside.
    ("folder junction leading outside", one("d/x.txt"), b"", 1, ["Error: d\\x.txt " + OUTSIDE], None,
     link_in_work("d", OUTSIDE_FOLDER), outside_untouched),
    ("folder junction leading outside, folder entry", archive([Member("d/sub/", b"")]), b"", 1, [OUTSIDE], None,
     link_in_work("d", OUTSIDE_FOLDER), outside_untouched),
    ("folder junction leading inside", one("d/x.txt"), b"", 0, ["Inflating: d/x.txt...done"], ["real/x.txt"],
     folder_link_in_work("d", "real"), plain_file("real/x.txt")),
    # The read-only and hidden attributes are kept; the system one only in
    # a folder an installer made.
    ("DOS attributes", archive([Member(name, b"a", external=bits) for name, bits in
                                (("ro.txt", 1), ("hid.txt", 2), ("sys.txt", 4), ("arc.txt", 0x20))]), b"", 0, [],
     ["arc.txt", "hid.txt", "ro.txt", "sys.txt"], None,
     dos_attributes({"ro.txt": 1, "hid.txt": 2, "sys.txt": 0, "arc.txt": 0})),
    ("DOS attributes in an installer's folder", archive([Member("sys.txt", b"s", external=6)],
                                                         comment=b"sfxstub installer 1\ndest=inst\nend\n"), b"", 0,
     [], ["inst/sys.txt"], None, dos_attributes({"inst/sys.txt": 6})),
    # Windows refuses control characters in file names.
    ("terminal controls in a name", one(ESCAPE_NAME), b"", 1,
     ["Inflating: %s..." % ESCAPE_SHOWN, "Error opening %s for output" % ESCAPE_SHOWN], [], None),
]


GUESSES = 3000


def many_aes_members(prefix):
    """GUESSES AES-128 members of "pw", each with a salt of its own."""
    return build([Member("m%04d" % i, b"data %d" % i, password="pw", aes=1, salt=i.to_bytes(8, "little"))
                  for i in range(GUESSES)], prefix=prefix)


def nothing_accepted(work):
    return ["extracted %s" % name for name in os.listdir(work)]


# A wrong password never passes: GUESSES members, each answered with another
# wrong guess, are all refused (none of these guesses matches its member's
# verifier; one that does is caught by the code, as the verifier twin shows).
GUESS_CASES = [
    ("AES, %d wrong guesses" % GUESSES, many_aes_members, b"".join(b"guess %d\n" % i for i in range(GUESSES)), 0,
     [(SORRY, GUESSES)], [], None, nothing_accepted),
]


def control_bytes(text):
    return [c for c in text if c < 0x20 and c not in (0x0A, 0x0D)] + [c for c in text if c == 0x7F]


def pytest_generate_tests(metafunc):
    option = metafunc.config.option
    if option.target in WINDOWS_TARGETS:
        # Wine starts slowly: the Windows spellings and a few others only.
        cases = [case for case in COMMON_CASES if case[0] in WINE_TOO] + WINDOWS_CASES
    else:
        cases = COMMON_CASES + POSIX_CASES + ([] if option.valgrind else GUESS_CASES)
    metafunc.parametrize("case", cases, ids=[case[0] for case in cases])


def test_hostile(case, scratch, stub, table):
    name, make, stdin, status, texts, files, prepare, *last_check = case
    got, out, err = scratch.run(make(stub), stdin=stdin, timeout=120, prepare=prepare)
    output = (out + err).decode("latin-1")
    problems = scratch.complaints(got)
    if got != status:
        problems.append("status %s, expected %d" % (got, status))
    for text in texts:
        text, times = text if isinstance(text, tuple) else (text, None)
        if text not in output or (times is not None and output.count(text) != times):
            problems.append("%r missing or not %s times" % (text, times))
    problems += [problem for check in last_check for problem in check(scratch.work)]
    if control_bytes(out + err):
        problems.append("control bytes on the console")
    if files is not None and scratch.extracted() != sorted(files):
        problems.append("extracted %r, expected %r" % (scratch.extracted(), files))
    table(name, got, out, err, problems)
    assert not problems, "%s\n  stdout %r\n  stderr %r" % ("; ".join(problems), out[:300], err[:300])
