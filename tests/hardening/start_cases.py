"""How the stub is started: by a bare name found on PATH (with a file or a
folder of that name in the current folder), as a relative path into a
spanned set, with standard streams closed, and with C1 controls in a member
name. Each case checks the exact output, the exit status and the files.
"""
import os
import zlib

import pytest
import prompts
import split_maker as sm
from file_trees import files_below
from zip_writer import STORED, Member, SpannedMember, SplitSet, build

SORRY = "Sorry, you did not enter a valid password. This file will not be unzipped.\n"
CRC = "Error: CRC values do not match. File may be corrupted.\n"

# Word 0 is the bare name: the shell finds the program through PATH (set to
# the program's folder), not in the current folder.
THROUGH_PATH = ("sh", "-c", 'PATH="${0%/*}" exec setup.exe')
CLOSED_OUT_AND_ERR = ("sh", "-c", 'exec "$0" >&- 2>&-')
CLOSED_IN = ("sh", "-c", 'exec "$0" <&-')
ALL_CLOSED = ("sh", "-c", 'exec "$0" <&- >&- 2>&-')

C1_NAME = b"c1-\x9b-\xc2\x9b-\xc2\x85-\xe2\x80\x9c.txt"  # CSI byte, CSI and NEL in UTF-8, a quote mark
C1_SHOWN = "c1-?-?-?-\u201c.txt"
LINES = b"pw\n" * 300000  # read as standard input, each line would be the password


def decoy(stub):
    """A self-extractor of another archive, as a file in the current folder."""
    def prepare(work):
        with open(os.path.join(work, "setup.exe"), "wb") as out:
            out.write(build([Member("decoy.txt", b"decoy\n")], prefix=stub))
        os.chmod(os.path.join(work, "setup.exe"), 0o755)
    return prepare


def decoy_folder(work):
    os.mkdir(os.path.join(work, "setup.exe"))


def bad_crc_members():
    return [Member("good.txt", b"good\n"), Member("bad.txt", b"bad data\n", crc=zlib.crc32(b"other"))]


# name, members, stdin, wrapper, set-up, status, stdout, stderr, {file: content}
# (content None: only present).
CASES = [
    ("decoy file named like the program, started through PATH", [Member("real.txt", b"real\n")], b"",
     THROUGH_PATH, "decoy", 0, "Inflating: real.txt...done\n", "", {"real.txt": b"real\n", "setup.exe": None}),
    ("decoy folder named like the program, started through PATH", [Member("real.txt", b"real\n")], b"",
     THROUGH_PATH, decoy_folder, 0, "Inflating: real.txt...done\n", "", {"real.txt": b"real\n"}),
    ("stdout and stderr closed, CRC error", bad_crc_members(), b"", CLOSED_OUT_AND_ERR, None, 1, "", "",
     {"good.txt": b"good\n", "bad.txt": b"bad data\n"}),
    ("all three closed, CRC error", bad_crc_members(), b"", ALL_CLOSED, None, 1, "", "",
     {"good.txt": b"good\n", "bad.txt": b"bad data\n"}),
    ("stdin closed, password prompts",
     [Member("one.txt", b"one\n", password="pw"), Member("two.txt", b"two\n", password="pw"),
      Member("lines.txt", LINES)], b"", CLOSED_IN, None, 0,
     "Inflating: one.txt...Please enter the password for one.txt: "
     "Inflating: two.txt...Please enter the password for two.txt: Inflating: lines.txt...done\n",
     SORRY * 2, {"lines.txt": LINES}),
    ("C1 controls in a member name", [Member(C1_NAME, b"c1\n")], b"", (), None, 0,
     "Inflating: %s...done\n" % C1_SHOWN, "", {os.fsdecode(C1_NAME): b"c1\n"}),
]


def shown_controls(output):
    """The C0 and C1 controls in output but line ends: bytes 0x80-0x9F outside
    UTF-8 and the UTF-8 forms of U+0080-U+009F."""
    text = output.decode("utf-8", errors="surrogateescape")
    return [c for c in text if (ord(c) < 0x20 and c not in "\r\n") or 0x7F <= ord(c) <= 0x9F
            or 0xDC80 <= ord(c) <= 0xDC9F]


def compare(status, out, err, want_status, want_out, want_err, found, want_files):
    problems = []
    if status != want_status:
        problems.append("status %s, expected %d" % (status, want_status))
    if out.decode("utf-8", errors="replace") != want_out:
        problems.append("stdout %r, expected %r" % (out[:300], want_out))
    if err.decode("utf-8", errors="replace") != want_err:
        problems.append("stderr %r, expected %r" % (err[:300], want_err))
    if shown_controls(out + err):
        problems.append("control characters shown")
    if sorted(found) != sorted(want_files):
        problems.append("files %r, expected %r" % (sorted(found), sorted(want_files)))
    for file, data in want_files.items():
        if data is not None and found.get(file, data) != data:
            problems.append("%s holds %r, expected %r" % (file, found[file][:100], data[:100]))
    return problems


@pytest.mark.parametrize("case", CASES, ids=[case[0] for case in CASES])
def test_start(case, scratch, stub, table):
    name, members, stdin, wrapper, prepare, status, out, err, files = case
    prepare = decoy(stub) if prepare == "decoy" else prepare
    got, got_out, got_err = scratch.run(build(members, prefix=stub), stdin=stdin, wrapper=wrapper,
                                        prepare=prepare, timeout=60)
    problems = scratch.complaints(got)
    problems += compare(got, got_out, got_err, status, out, err, files_below(scratch.work), files)
    table(name, got, got_out, got_err, problems)
    assert not problems, "; ".join(problems)


def test_relative_set(stub, folder, table):
    """A two-disk set started as ../set/disk1/setup from a folder beside the
    set and the drive: every disk comes from the drive, none from the set's
    folder above it (drive/../set/disk1/setup is disk 1 itself)."""
    data = bytes(range(256)) * 40
    layout = SplitSet(stub, [SpannedMember("a.txt", data, STORED)])
    disks = layout.disks([layout.data_at[0] + 1000])
    sm.write_disks(disks, os.path.join(folder, "set"), "setup")
    drive = prompts.Drive(os.path.join(folder, "drive"), "setup", disks)
    drive.insert(2)
    work = os.path.join(folder, "out")
    os.makedirs(work)
    result = prompts.run(os.path.join(folder, "set", "disk1", "setup"), work,
                         [prompts.disk(2), prompts.disk(1), prompts.disk(2)], drive=drive, argv0="../set/disk1/setup")
    status = None if result.timed_out else result.status
    out = ("Did not find end-of-central\nPlease insert the last segment into drive A and press enter.\n"
           "Please insert segment 1 into drive A and press enter.\nInflating: a.txt..."
           "Please insert segment 2 into drive A and press enter.\ndone\n")
    problems = compare(status, result.stdout.encode(), result.stderr.encode(), 0, out, "", files_below(work),
                       {"a.txt": data})
    table("spanned set started as ../set/disk1/setup", status, result.stdout.encode(), result.stderr.encode(),
          problems)
    assert not problems, "; ".join(problems)
