"""Spanned self-extractors end to end: the stub is run over pipes, each
disk prompt is answered by swapping the file in the drive folder and typing
Enter, and the prompts, messages, exit status and extracted files are checked.
"""
import os
import random
import shutil
import struct
import subprocess

import pytest
import split_maker as sm
from file_trees import files_below, tree_differences
from prompts import ALREADY_TYPED, END_OF_INPUT, Drive, disk, password
from prompts import run as run_prompts
from stub_runner import windows_path
from zip_writer import CENTRAL_SIGNATURE, DEFLATED, END_SIGNATURE, STORED, SpannedMember, SplitSet
from zip_writer import central_header_length, local_data_offset

NOT_FOUND = "Did not find end-of-central\n"
LAST = "Please insert the last segment into drive A and press enter.\n"


def P(n):
    return "Please insert segment %d into drive A and press enter.\n" % n


def words(seed, size):
    """Text that deflates to about a third of its size."""
    rng = random.Random(seed)
    vocabulary = "drive floppy segment member deflate header insert press enter disk".split()
    text = " ".join(rng.choice(vocabulary) + str(rng.randrange(100)) for _ in range(size // 6))
    return text.encode()[:size]


def noise(seed, size):
    return random.Random(seed).randbytes(size)


class Sets:
    """Runs sets on the target: its drive A is one folder (work/drive); work
    holds the folders and sets that several cases share, made once a session;
    each run gets a folder of its own below the test's folder."""

    def __init__(self, target, work, mksfx):
        self.target, self.wine, self.mksfx = target, target.arch, mksfx and os.path.abspath(mksfx)
        with open(target.stub, "rb") as f:
            self.stub = f.read()
        self.name = "setup.exe" if self.wine else "setup"
        self.work = os.path.join(work, "shared")
        self.drive_folder = os.path.join(work, "drive")
        shutil.rmtree(self.work, ignore_errors=True)
        self.folder, self.case_number = None, 0

    def word0(self, program):
        """The archive path the stub sees: under wine the full Windows path, on drive A
        when started from the drive, as from a floppy."""
        if not self.wine:
            return program
        return "A:\\" + self.name if os.path.dirname(program) == self.drive_folder else windows_path(program)

    def run(self, disks, answers, first_disk=1, from_drive=True, typeahead=b"", argv0=None, name=None, folder="run"):
        """Runs the set with disk first_disk in the drive; the program is started from the
        drive or from a copy of disk 1 in a folder of its own (folder), under its own name
        or name.  Returns the result and the extraction folder."""
        name = name or self.name
        self.case_number += 1
        case = os.path.join(self.folder, "run%02d" % self.case_number)
        output = os.path.join(case, "out")
        os.makedirs(output)
        drive = Drive(self.drive_folder, name, disks)
        drive.insert(first_disk)
        program = drive.path
        if not from_drive:
            program = os.path.join(case, folder, name)
            os.makedirs(os.path.dirname(program))
            with open(program, "wb") as f:
                f.write(disks[0])
            os.chmod(program, 0o755)
        result = run_prompts(program, output, answers, self.target, drive, argv0, typeahead=typeahead)
        result.word0 = self.word0(program)
        return result, output


@pytest.fixture(scope="module")
def sets(target, work, options):
    return Sets(target, work, options.mksfx)


@pytest.fixture
def p(sets, folder):
    sets.folder, sets.case_number = folder, 0
    return sets


def check(result, stdout=None, stderr="", status=0, prompts=None):
    problems = ["timed out"] if result.timed_out else []
    if status is not None and result.status != status:
        problems.append("status %r, expected %r" % (result.status, status))
    if stdout is not None and result.stdout != stdout:
        problems.append("stdout differs, expected %r" % stdout)
    if stderr is not None and result.stderr != stderr:
        problems.append("stderr differs, expected %r" % stderr)
    if prompts is not None and result.prompts != prompts:
        problems.append("prompts %r, expected %r" % (result.prompts, prompts))
    assert not problems, "; ".join(problems) + "\n" + repr(result)


def check_files(output, expected):
    """expected: {relative path: bytes}; the folder holds exactly these files."""
    differences = tree_differences(files_below(output), expected)
    assert not differences, "; ".join(differences)


def contents(members):
    return {m.name.decode(): m.data for m in members}


# ---------------------------------------------------------------- the cases


def test_walk_every_switch(p):
    """Six disks: members crossing two boundaries and one, a deflate member ending 2
    bytes before a disk's end, the directory starting on disk 5 and running on into
    disk 6 right after a central header's comment, the end record on disk 6."""
    members = [SpannedMember("big.bin", noise(1, 30000), STORED, comment=b"crosses two disks"),
               SpannedMember("docs/text.txt", words(2, 40000), comment=b"crosses one disk"),
               SpannedMember("small.txt", words(3, 300), descriptor=True)]
    s = SplitSet(p.stub, members)
    disks = s.disks([s.data_at[0] + 10000, s.data_at[0] + 20000, s.data_at[1] + 3000, s.data_end[2] + 2,
                     s.central_end[0]])
    result, output = p.run(disks, [disk(6), disk(5), disk(6), disk(1), disk(2), disk(3), disk(4), disk(5)])
    check(result, NOT_FOUND + LAST + P(5) + P(6) + P(1) + "Inflating: big.bin..." + P(2) + P(3) + "done\n" +
          "Inflating: docs/text.txt..." + P(4) + "done\n" + "Inflating: small.txt..." + P(5) + "done\n")
    check_files(output, contents(members))


def test_deflate_read_ahead(p):
    """A deflate member is read 4 bytes past its data: with fewer than 4 bytes left on its
    disk the next disk is asked for inside the member; with 4 left, only by the next member."""
    for left in (0, 1, 3, 4):
        members = [SpannedMember("a.txt", words(4, 5000), descriptor=True), SpannedMember("b.txt", words(5, 5000))]
        s = SplitSet(p.stub, members)
        result, output = p.run(s.disks([s.data_end[0] + left]), [disk(2), disk(1), disk(2)])
        inside = left < 4
        check(result, NOT_FOUND + LAST + P(1) + "Inflating: a.txt..." + (P(2) if inside else "") + "done\n" +
              ("" if inside else P(2)) + "Inflating: b.txt...done\n")
        check_files(output, contents(members))


def test_methods_across_a_boundary(p):
    """Stored, deflated and encrypted members whose data crosses a disk boundary: at its
    first byte, inside and right after the 12-byte encryption header, and where a
    10240-byte chunk ends.  One password prompt, then the disk prompt on the same line."""
    for method, secret, into_data in ((STORED, None, 100), (DEFLATED, None, 100),
                                      (STORED, "secret", 100), (DEFLATED, "secret", 100),
                                      (DEFLATED, "secret", 5), (STORED, "secret", 12),
                                      (STORED, None, 0), (DEFLATED, "secret", 0),
                                      (STORED, None, 10240), (DEFLATED, None, 10240),
                                      (DEFLATED, "secret", 12 + 10240)):
        members = [SpannedMember("x.dat", words(6, 60000), method, password=secret),
                   SpannedMember("tail.txt", b"tail\n")]
        s = SplitSet(p.stub, members)
        answers = [disk(2), disk(1)] + ([password(secret)] if secret else []) + [disk(2)]
        result, output = p.run(s.disks([s.data_at[0] + into_data]), answers)
        asked = "Please enter the password for x.dat: " if secret else ""
        check(result, NOT_FOUND + LAST + P(1) + "Inflating: x.dat..." + asked + P(2) + "done\n" +
              "Inflating: tail.txt...done\n")
        check_files(output, contents(members))


def test_signature_split_in_directory(p):
    """A central header's signature split over two disks is joined again; a header
    split after its signature is an archive cut short."""
    for on_first in (1, 3):
        members = [SpannedMember(name, words(7, 700)) for name in ("a.txt", "b.txt", "c.txt")]
        s = SplitSet(p.stub, members)
        result, output = p.run(s.disks([s.central_at[1] + on_first]), [disk(2), disk(1), disk(2), disk(1)])
        check(result, NOT_FOUND + LAST + P(1) + P(2) + P(1) +
              "Inflating: a.txt...done\nInflating: b.txt...done\nInflating: c.txt...done\n")
        check_files(output, contents(members))

    result, output = p.run(s.disks([s.central_at[1] + 10]), [disk(2), disk(1)])
    check(result, NOT_FOUND + LAST + P(1) + "failed readzipfile\n",
          "Unexpected end of file reached. The zip archive may be corrupted.\n"
          "Error: Unable to open the zip archive %s.\n" % result.word0, 1)


def test_wrong_disk_accepted(p):
    """Any file of the right name is taken for the disk asked for: the member that
    continues on it fails its CRC check, and the next one asks for the disk it needs."""
    members = [SpannedMember("first.bin", noise(8, 6000), STORED), SpannedMember("second.bin", noise(9, 20000), STORED)]
    s = SplitSet(p.stub, members)
    disks = s.disks([s.data_at[0] + 5000, s.header_at[1]])
    result, output = p.run(disks, [disk(3), disk(1), disk(3), disk(3)])
    check(result, NOT_FOUND + LAST + P(1) + "Inflating: first.bin..." + P(2) + "\n" + P(3) +
          "Inflating: second.bin...done\n", "Error: CRC values do not match. File may be corrupted.\n", 1)
    expected = contents(members)
    expected["first.bin"] = members[0].data[:5000] + disks[2][:1000]
    check_files(output, expected)

    # Disk 1 again for the last disk: no end record there either.
    result, output = p.run(disks, [disk(1)])
    check(result, NOT_FOUND + LAST + NOT_FOUND + "Couldn't find end of central\nfailed readzipfile\n",
          "The zip archive is invalid.\nError: Unable to open the zip archive %s.\n" % result.word0, 1)


def test_wrong_disk_asked_again(p):
    """A disk that shows no local header, directory or end record where the directory
    says is another disk: the same segment is asked for again, at a member's start, for
    data that runs on and for the last segment, until the right disk is in the drive."""
    members = [SpannedMember("first.bin", noise(20, 6000), STORED),
               SpannedMember("second.bin", noise(21, 3000), STORED), SpannedMember("third.txt", b"third\n")]
    s = SplitSet(p.stub, members)
    disks = s.disks([s.data_at[0] + 5000, s.header_at[2]])
    result, output = p.run(disks, [disk(3), disk(2), disk(1), disk(3), disk(2), disk(1), disk(3)])
    check(result, NOT_FOUND + LAST + P(1) + P(1) + "Inflating: first.bin..." + P(2) + P(2) +
          "done\nInflating: second.bin...done\n" + P(3) + P(3) + "Inflating: third.txt...done\n")
    check_files(output, contents(members))

    # The wrong disk, then the end of input.
    result, output = p.run(disks, [disk(3), disk(2), END_OF_INPUT])
    check(result, NOT_FOUND + LAST + P(1) + P(1), "Error: User aborted.\n", 1)
    check_files(output, {})


def test_wrong_disk_for_the_directory(p):
    """The directory starts on disk 2 and runs on to disk 3: a wrong disk at either
    prompt is asked for again, and the directory is read whole."""
    members = [SpannedMember("a.txt", b"a\n"), SpannedMember("b.txt", b"b\n")]
    s = SplitSet(p.stub, members)
    disks = s.disks([s.central_at[0], s.central_at[1]])
    # b.txt's deflate data ends with disk 1: the 4 bytes read past it ask for disk 2.
    result, output = p.run(disks, [disk(3), disk(1), disk(2), disk(1), disk(3), disk(1), disk(2)])
    check(result, NOT_FOUND + LAST + P(2) + P(2) + P(3) + P(3) + P(1) + "Inflating: a.txt...done\n"
          "Inflating: b.txt..." + P(2) + "done\n")
    check_files(output, contents(members))


def test_no_plain_file_in_the_drive(p):
    """A FIFO or a folder under the set's name is no disk: the run ends as with an
    empty drive, and never waits on the FIFO."""
    members = [SpannedMember("first.bin", noise(22, 6000), STORED), SpannedMember("second.txt", b"second\n")]
    s = SplitSet(p.stub, members)
    disks = s.disks([s.data_at[0] + 5000, s.central_at[0]])
    for kind in ("fifo", "folder"):
        result, output = p.run(disks, [disk(3), disk(1), disk(kind)])
        check(result, NOT_FOUND + LAST + P(1) + "Inflating: first.bin..." + P(2), "Error: Error while opening file.\n",
              1)


def test_missing_disk(p):
    """A disk whose file is missing: inside a member the walk stops; while the directory
    is read the archive cannot be opened."""
    members = [SpannedMember("first.bin", noise(10, 6000), STORED), SpannedMember("second.txt", b"second\n")]
    s = SplitSet(p.stub, members)
    disks = s.disks([s.data_at[0] + 5000, s.central_at[0]])
    result, output = p.run(disks, [disk(3), disk(1), disk(None)])
    check(result, NOT_FOUND + LAST + P(1) + "Inflating: first.bin..." + P(2), "Error: Error while opening file.\n", 1)
    check_files(output, {"first.bin": b""})  # the switch failed before the first block was written

    result, output = p.run(disks, [disk(None)])
    check(result, NOT_FOUND + LAST + "failed readzipfile\n",
          "Error while opening file.\nError: Unable to open the zip archive %s.\n" % result.word0, 1)
    check_files(output, {})

    long_directory = [SpannedMember("m%d.txt" % i, b"%d\n" % i) for i in range(3)]
    s = SplitSet(p.stub, long_directory)
    result, output = p.run(s.disks([s.central_at[0], s.central_at[2]]), [disk(3), disk(2), disk(None)])
    check(result, NOT_FOUND + LAST + P(2) + P(3) + "failed readzipfile\n",
          "Error while opening file.\nError: Unable to open the zip archive %s.\n" % result.word0, 1)


def test_console_input(p):
    """Type-ahead, text typed before Enter, and the end of input at a disk prompt."""
    members = [SpannedMember("one.txt", words(11, 8000)), SpannedMember("two.txt", b"two\n")]
    s = SplitSet(p.stub, members)
    disks = s.disks([s.data_at[0] + 300])
    walk = NOT_FOUND + LAST + P(1) + "Inflating: one.txt..." + P(2) + "done\nInflating: two.txt...done\n"

    # Enter typed before the program starts; the last disk is in the drive already, and
    # the program runs from a copy of disk 1 elsewhere.
    result, output = p.run(disks, [ALREADY_TYPED, disk(1), disk(2)], first_disk=2, from_drive=False, typeahead=b"\n")
    check(result, walk)
    check_files(output, contents(members))

    result, output = p.run(disks, [disk(2, b"no\n"), disk(1, b"q\n"), disk(2, b"abc  xyz\r\n")])
    check(result, walk)
    check_files(output, contents(members))

    result, output = p.run(disks, [END_OF_INPUT])
    check(result, NOT_FOUND + LAST + "failed readzipfile\n",
          "User aborted.\nError: Unable to open the zip archive %s.\n" % result.word0, 1)

    result, output = p.run(disks, [disk(2), disk(1), disk(2, b"half a line")])
    check(result, NOT_FOUND + LAST + P(1) + "Inflating: one.txt..." + P(2), "Error: User aborted.\n", 1)

    # Inside an encryption header that runs on to the next disk: no password refusal.
    members = [SpannedMember("locked.txt", words(15, 3000), password="pw"), SpannedMember("after.txt", b"after\n")]
    s = SplitSet(p.stub, members)
    result, output = p.run(s.disks([s.data_at[0] + 6]), [disk(2), disk(1), password("pw"), END_OF_INPUT])
    check(result, NOT_FOUND + LAST + P(1) + "Inflating: locked.txt...Please enter the password for locked.txt: " +
          P(2), "Error: User aborted.\n", 1)


def test_started_by_bare_name(p):
    """Started by a bare name, the disks are the drive's file of that name."""
    if p.wine:
        pytest.skip("a Windows program is started by its path")
    members = [SpannedMember("a.txt", words(12, 9000))]
    s = SplitSet(p.stub, members)
    result, output = p.run(s.disks([s.data_at[0] + 1000]), [disk(2), disk(1), disk(2)], argv0=p.name)
    check(result, NOT_FOUND + LAST + P(1) + "Inflating: a.txt..." + P(2) + "done\n")
    check_files(output, contents(members))


# ------------------------------------------- whole folders, Info-ZIP sets


def expected_prompts(disks, passwords):
    """The prompts a set asks for when each is answered with the disk it names: the
    last disk, the directory's disks, then for each member its first disk, its
    password, and every disk its data (4 bytes more when deflated) runs on to."""
    last = len(disks) - 1
    end = disks[-1].rfind(END_SIGNATURE)
    directory_disk, = struct.unpack_from("<H", disks[-1], end + 6)
    directory_offset, = struct.unpack_from("<I", disks[-1], end + 16)
    comment_length, = struct.unpack_from("<H", disks[-1], end + 20)
    comment = disks[-1][end + 22:end + 22 + comment_length]
    # With one password for the archive (mksfx --password writes it), only the
    # first encrypted member asks: the sets here use one password throughout.
    one_password = comment.startswith(b"sfxstub installer ") and b"\none-password\n" in comment
    asked = False
    prompts = ["last"] if last > 0 else []
    current = last
    if directory_disk != current:
        prompts.append("segment %d" % (directory_disk + 1))
        current = directory_disk
    position, entries = directory_offset, []
    while True:
        if position + 4 > len(disks[current]) and current < last:
            current, position = current + 1, 0
            prompts.append("segment %d" % (current + 1))
        header = disks[current]
        if header[position:position + 4] != CENTRAL_SIGNATURE:
            break
        flags, method = struct.unpack_from("<HH", header, position + 8)
        size, = struct.unpack_from("<I", header, position + 20)
        name_length, _, _, start = struct.unpack_from("<HHHH", header, position + 28)
        offset, = struct.unpack_from("<I", header, position + 42)
        name = header[position + 46:position + 46 + name_length].decode()
        entries.append((name, flags, method, size, start, offset))
        position += central_header_length(header, position)
    for name, flags, method, size, start, offset in entries:
        if size == 0 or name.endswith("/"):
            continue
        if start != current:
            prompts.append("segment %d" % (start + 1))
            current = start
        if flags & 1 and not (one_password and asked):
            prompts.append("password " + (name.replace("/", "\\") if passwords == "windows" else name))
            asked = True
        read_end = local_data_offset(disks[start], offset) + size + (4 if method == DEFLATED else 0)
        while read_end > len(disks[current]) and current < last:
            read_end -= len(disks[current])
            current += 1
            prompts.append("segment %d" % (current + 1))
    return prompts


def answers_for(prompts, n_disks, secret=None):
    answers = []
    for prompt in prompts:
        if prompt == "last":
            answers.append(disk(n_disks))
        elif prompt.startswith("password"):
            answers.append(password(secret))
        else:
            answers.append(disk(int(prompt.split()[1])))
    return answers


def run_whole_set(p, disks, expected, secret=None, **started):
    prompts = expected_prompts(disks, "windows" if p.wine else "posix")
    result, output = p.run(disks, answers_for(prompts, len(disks), secret), **started)
    check(result, None, "", 0, prompts)
    assert result.stdout.count("done\n") == len(expected), "members reported done, expected %d\n%r" % (
        len(expected), result)
    check_files(output, expected)
    return prompts


def folder_set(p, n_disks):
    """A few MB of nested text and random files, from this program's own layout."""
    folder = os.path.join(p.work, "folder")
    if not os.path.isdir(folder):
        sm.make_folder(folder, seed=2026)
    s = SplitSet(p.stub, sm.members_from_folder(folder))
    size = -(-(s.total - len(p.stub)) // n_disks) + 4096  # disk 1 holds the stub besides
    return folder, s.disks(s.cuts_every(size, len(p.stub) + size))


def test_real_folder_three_disks(p):
    folder, disks = folder_set(p, 3)
    assert len(disks) == 3
    run_whole_set(p, disks, files_below(folder))


def test_three_disks_named_outside_the_code_page(p):
    """Windows: a set whose program and disks are named outside the ANSI code page,
    started from a folder named so too: the disks are found by the last component
    of the program's path, A:\\日本 😀.exe."""
    if not p.wine:
        pytest.skip("code pages are Windows'")
    folder, disks = folder_set(p, 3)
    run_whole_set(p, disks, files_below(folder), from_drive=False, name="日本 😀.exe", folder="Иван")


def zip_set(p, folder, size, tag, options=()):
    """The disks of an Info-ZIP zip -s set of folder, made once, as self-extractor disks."""
    work = os.path.join(p.work, "zip-" + tag)
    target = os.path.join(work, "set.zip")
    if not os.path.isdir(work):
        os.makedirs(work)
        subprocess.run(["zip", "-q", "-r", "-s", size] + list(options) + [target, "."], cwd=folder, check=True,
                       stdin=subprocess.DEVNULL)
    return sm.from_zip_split(p.stub, sm.zip_split_disk_files(target))


def test_real_folder_five_disks_zip_s(p):
    folder, _ = folder_set(p, 3)
    disks = zip_set(p, folder, "480k", "five")
    assert len(disks) == 5, "zip -s made %d disks" % len(disks)
    run_whole_set(p, disks, files_below(folder))


def small_folders(p):
    """900 small files, whose directory outgrows a 64 KiB disk, and two larger files
    for a set with a password."""
    many, secret = os.path.join(p.work, "many"), os.path.join(p.work, "secret")
    if not os.path.isdir(many):
        for i in range(900):
            sub = os.path.join(many, "group%d" % (i % 4))
            os.makedirs(sub, exist_ok=True)
            with open(os.path.join(sub, "file_with_a_long_name_%04d.txt" % i), "w") as f:
                f.write("file %d\n" % i * (i % 7 + 1))
        os.makedirs(os.path.join(secret, "inner"))
        with open(os.path.join(secret, "inner", "words.txt"), "wb") as f:
            f.write(words(13, 200000))
        with open(os.path.join(secret, "noise.bin"), "wb") as f:
            f.write(noise(14, 150000))
    return many, secret


def test_zip_s_long_directory_and_passwords(p):
    """Info-ZIP sets of 64 KiB disks: a directory of 900 entries starting on an earlier
    disk and crossing boundaries; encrypted members (data descriptors) across boundaries."""
    many, secret = small_folders(p)
    disks = zip_set(p, many, "64k", "many")
    prompts = run_whole_set(p, disks, files_below(many))
    assert len(disks) >= 3 and "segment %d" % len(disks) in prompts, "the directory does not cross a boundary"
    disks = zip_set(p, secret, "64k", "secret", ["-P", "letmein"])
    run_whole_set(p, disks, files_below(secret), secret="letmein")


def mksfx_disks(p, tag, inputs, size, options=()):
    """Disks written by mksfx --split, of size bytes or, when the stub in use needs
    more, the stub and 48 KiB."""
    size = max(size, len(p.stub) + 48 * 1024)
    target = os.path.join(p.work, "mksfx-" + tag, p.name)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    made = subprocess.run([p.mksfx, "-q", "--split", str(size), "--stub", p.target.stub, "-o", target] +
                          list(options) + list(inputs), stdin=subprocess.DEVNULL, capture_output=True)
    assert made.returncode == 0, "mksfx failed: %r" % made.stderr
    disks, n = [], 1
    while os.path.exists(os.path.join(target, "disk%d" % n, p.name)):
        disks.append(open(os.path.join(target, "disk%d" % n, p.name), "rb").read())
        n += 1
    return disks, size


def test_mksfx_sets(p):
    """mksfx --split of a folder (five disks of 480 KiB), of a folder with a password,
    and of Info-ZIP zip -s sets."""
    if not p.mksfx:
        pytest.skip("no --mksfx given")
    folder, _ = folder_set(p, 3)
    disks, size = mksfx_disks(p, "folder", [folder], 480 * 1024)
    assert size != 480 * 1024 or len(disks) == 5, "mksfx made %d disks" % len(disks)
    run_whole_set(p, disks, {"folder/" + name: data for name, data in files_below(folder).items()})

    many, secret_folder = small_folders(p)
    disks, _ = mksfx_disks(p, "password", [secret_folder], 0, ["--password", "letmein"])
    run_whole_set(p, disks, {"secret/" + name: data for name, data in files_below(secret_folder).items()}, "letmein")
    zip_set(p, many, "64k", "many")
    zip_set(p, secret_folder, "64k", "secret", ["-P", "letmein"])
    for tag, source, secret in (("many", "many", None), ("secret", "secret", "letmein")):
        disks, _ = mksfx_disks(p, "zip-" + tag, [os.path.join(p.work, "zip-" + tag, "set.zip")], 0)
        # A sanitizer build's stub fills a disk.
        assert len(disks) >= 2 or len(p.stub) >= 400 * 1024, "mksfx made one disk from the zip -s set"
        run_whole_set(p, disks, files_below(os.path.join(p.work, source)), secret)
