"""Zip64 end to end: self-extractors of archives that Python's zipfile,
Info-ZIP zip and 7-Zip wrote with Zip64 records, more than 65,535 members
packed by mksfx and by Python, spanned sets with Zip64 records, and what the
peers (unzip, 7za, bsdtar, Python) say of what mksfx writes. LargeTest
stores a member past 4 GiB and extracts it with every stub built. One ctest
test a class (pytest -k CLASS).
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path
import zlib

import pytest
from file_trees import files_below
from prompts import extract_set
from stub_runner import run_stub, wine_binary
from targets import Target
from zip_writer import END_SIGNATURE, ZIP64_END_SIGNATURE, ZIP64_LOCATOR_SIGNATURE, sfx_bytes, zip64_locator

MANY = 70000


def scratch_root():
    """Tens of thousands of small files are made much faster in memory."""
    return "/dev/shm" if os.access("/dev/shm", os.W_OK) else None


def run(command, cwd=None, check=True):
    done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, timeout=900)
    if check and done.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (command, done.returncode, done.stdout.decode(errors="replace"),
                                                        done.stderr.decode(errors="replace")))
    return done


def many_names(count):
    return ["d%03d/f%06d.txt" % (index // 1000, index) for index in range(count)]


def content_of(name):
    return name.encode() * 2


def write_many(root, count):
    for index, name in enumerate(many_names(count)):
        if index % 1000 == 0:
            os.makedirs(os.path.join(root, os.path.dirname(name)))
        Path(os.path.join(root, name)).write_bytes(content_of(name))


def python_archive(members, force_zip64=False, method=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as archive:
        for name, data in members:
            with archive.open(zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 6)), "w", force_zip64=force_zip64) as member:
                member.write(data)
    return buffer.getvalue()


class Scratch(unittest.TestCase):
    @pytest.fixture(autouse=True)
    def programs(self, options):
        self.options, self.mksfx, self.linux_stub = options, os.path.abspath(options.mksfx), options.linux_stub

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zip64-", dir=scratch_root())
        self.addCleanup(shutil.rmtree, self.work, True)

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def folder(self, name):
        path = self.path(name)
        os.makedirs(path)
        return path

    def disk_size(self, room):
        """A --split size whose first disk holds the embedded stub (large in a
        sanitizer build) and room bytes more."""
        empty, output = self.folder("nothing"), self.path("nothing.run")
        run([self.mksfx, "-q", "-o", output, empty + "/."])
        return str(os.path.getsize(output) + room)

    def self_extractor(self, archive_bytes, name, absolute=True):
        """The Linux stub and the archive, with offsets counted from the
        archive's start (plain cat) or, with absolute, from the file's."""
        path = self.path(name)
        stub = Path(self.linux_stub).read_bytes()
        Path(path).write_bytes(sfx_bytes(stub, archive_bytes, absolute))
        os.chmod(path, 0o755)
        return path

    def extract(self, program, expected_stderr="", cwd_name=None):
        target = self.folder(cwd_name or "out-" + os.path.basename(program))
        result = run_stub(program, stdin=None, cwd=target, timeout=600)
        self.assertEqual(result.stderr.decode(errors="replace"), expected_stderr)
        self.assertEqual(result.status, 0, result.stdout[-500:])
        return target

    def assert_peers_accept(self, path, entries):
        self.assertIn(b"No errors detected", run(["unzip", "-tq", path]).stdout)
        self.assertIn(b"Everything is Ok", run(["7za", "t", path]).stdout)
        listed = run(["bsdtar", "-tf", path]).stdout.decode().split("\n")
        self.assertEqual(len([line for line in listed if line and not line.endswith("/")]), entries)
        run([sys.executable, "-m", "zipfile", "-t", path])


class ForeignArchiveTest(Scratch):
    """Zip64 archives that other tools wrote, appended to the stub."""

    def test_python_force_zip64(self):
        members = [("a.txt", b"alpha\n" * 1000), ("sub/b.bin", os.urandom(5000)), ("empty", b"")]
        data = python_archive(members, force_zip64=True)
        for absolute in (True, False):
            with self.subTest(absolute=absolute):
                program = self.self_extractor(data, "python-%s.run" % absolute, absolute)
                # Zip64 is in the local headers only; the directory says version 4.5 without it,
                # which needs no warning.
                target = self.extract(program)
                self.assertEqual(files_below(target), dict(members))

    def test_zip_fz_and_7za(self):
        source = self.folder("source")
        files = {"top.txt": b"top\n" * 999, "deep/x/y.bin": os.urandom(70000), "deep/z.txt": b""}
        for name, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(source, name)) or source, exist_ok=True)
            Path(os.path.join(source, name)).write_bytes(data)
        run(["zip", "-qr", "-fz", self.path("fz.zip"), "."], cwd=source)
        fz = Path(self.path("fz.zip")).read_bytes()
        self.assertIn(ZIP64_END_SIGNATURE, fz)
        for absolute in (True, False):
            with self.subTest(absolute=absolute):
                target = self.extract(self.self_extractor(fz, "fz-%s.run" % absolute, absolute))
                self.assertEqual(files_below(target), files)

    def test_7za_and_python_with_many_members(self):
        source = self.folder("many")
        write_many(source, MANY)
        run(["7za", "a", "-tzip", "-mx=1", self.path("7za.zip"), "."], cwd=source)
        seven = Path(self.path("7za.zip")).read_bytes()
        self.assertIn(ZIP64_LOCATOR_SIGNATURE, seven)
        expected = files_below(source)
        target = self.extract(self.self_extractor(seven, "7za.run"))
        self.assertEqual(files_below(target), expected)
        shutil.rmtree(target)
        # Python writes the Zip64 end record for more than 65,535 members; a plain cat.
        data = python_archive([(name, content_of(name)) for name in many_names(MANY)], method=zipfile.ZIP_STORED)
        self.assertIn(ZIP64_LOCATOR_SIGNATURE, data)
        target = self.extract(self.self_extractor(data, "python-many.run", absolute=False))
        self.assertEqual(files_below(target), expected)


class MksfxZip64Test(Scratch):
    """What mksfx writes with Zip64 records, and what it converts."""

    def test_small_outputs_have_no_zip64_records(self):
        source = self.folder("small")
        Path(os.path.join(source, "a.txt")).write_bytes(b"small\n")
        output = self.path("small.run")
        run([self.mksfx, "-q", "-o", output, source])
        archive = Path(output).read_bytes()[os.path.getsize(self.linux_stub):]
        self.assertFalse(ZIP64_END_SIGNATURE in archive or ZIP64_LOCATOR_SIGNATURE in archive)

    def test_bad_zip64_records_are_refused(self):
        from zip_writer import Member, build, zip64_extra
        ones = 0xFFFFFFFF
        cases = [
            ("locator outside", build([Member("a.txt", b"a")], zip64={"locator_offset": 10**12}),
             "Zip64 end locator points to no Zip64 end record"),
            ("entries past 2^31 - 1", build([Member("a.txt", b"a")], zip64={"entries": 2**31}),
             "Zip64 end record holds counts or offsets too large to be true"),
            ("directory of a petabyte", build([Member("a.txt", b"a")], zip64={"directory_size": 2**50}),
             "gives its central directory 1125899906842624 bytes, but only 51 bytes lie between"),
            ("extra too short", build([Member("s.txt", b"s", compressed_size=ones, uncompressed_size=ones,
                                              extra=zip64_extra(1))]), "shorter than the values it must hold"),
            ("sizes that wrap", build([Member("w.txt", b"w", compressed_size=ones, local_offset=ones,
                                              extra=zip64_extra(2**63 - 1, 2**63 - 1))]), "Zip64 sizes are too large"),
        ]
        for label, data, message in cases:
            with self.subTest(label):
                source, output = self.path("bad.zip"), self.path("bad.run")
                Path(source).write_bytes(data)
                done = run([self.mksfx, "-q", "-o", output, source], check=False)
                self.assertEqual(done.returncode, 1)
                self.assertIn(message, done.stderr.decode())
                self.assertFalse(os.path.exists(output))

    def test_zip64_end_records_the_stub_reads_are_converted(self):
        """mksfx reads an archive's end as the stub does: a locator's
        signature that stands before the end record by chance (here the last
        member's comment) counts only where the end record needs the Zip64
        one, disk numbers of all ones are the Zip64 records', and data in
        front moves the Zip64 end record back from where the locator says."""
        from zip_writer import Member, build
        members = {"a.txt": b"a" * 100, "b.txt": b"b"}
        chance = io.BytesIO()
        with zipfile.ZipFile(chance, "w") as archive:
            archive.writestr("a.txt", members["a.txt"])
            info = zipfile.ZipInfo("b.txt", (2024, 1, 2, 3, 4, 6))
            info.comment = zip64_locator(40)  # a Zip64 end record inside a.txt's data
            archive.writestr(info, members["b.txt"])
        listed = [Member(name, data) for name, data in members.items()]
        zip64 = {"this_disk": 0, "directory_disk": 0, "locator_disk": 0, "total_disks": 1}
        disks_all_ones = build(listed, this_disk=0xFFFF, directory_disk=0xFFFF, zip64=zip64)
        # Offsets counted from the archive's own start: the Zip64 end record stands right before the locator.
        in_front = b"#!/bin/sh\n" + bytes(5000) + build(listed, zip64={})
        for label, data in [("locator by chance", chance.getvalue()), ("disks all ones", disks_all_ones),
                            ("data in front", in_front)]:
            with self.subTest(label):
                source, output = self.path(label + ".zip"), self.path(label + ".run")
                Path(source).write_bytes(data)
                run([self.mksfx, "-q", "-o", output, source])
                self.assertEqual(files_below(self.extract(output)), members)

    def test_many_members_packed_split_and_converted(self):
        source = self.folder("many")
        write_many(source, MANY)
        expected = files_below(source)
        output = self.path("many.run")
        run([self.mksfx, "-q", "-o", output, "."], cwd=source)
        data = Path(output).read_bytes()
        end = data.rfind(END_SIGNATURE)
        self.assertEqual(data[end - 20:end - 16], ZIP64_LOCATOR_SIGNATURE)
        self.assertEqual(struct.unpack_from("<HH", data, end + 8), (0xFFFF, 0xFFFF))
        self.assert_peers_accept(output, MANY)
        self.assertEqual(files_below(self.extract(output)), expected)
        # Spanned: every header and the three end records on one disk each.
        floppies = os.path.join(self.folder("floppies"), "setup")
        run([self.mksfx, "-q", "--split", self.disk_size(1440 * 1024), "-o", floppies, "."], cwd=source)
        disks = [os.path.join(floppies, "disk%d" % n, "setup") for n in range(1, len(os.listdir(floppies)) + 1)]
        tail = Path(disks[-1]).read_bytes()
        self.assertIn(ZIP64_END_SIGNATURE, tail)
        self.assertIn(ZIP64_LOCATOR_SIGNATURE, tail)
        target = self.folder("out-split")
        result = extract_set(disks, target, timeout=600)
        self.assertEqual(result.status, 0, repr(result))
        self.assertEqual(files_below(target), expected)
        # The packed output converted again: the same members.
        converted = self.path("converted.run")
        run([self.mksfx, "-q", "-o", converted, output])
        self.assertEqual(files_below(self.extract(converted)), expected)

    def test_info_zip_split_set_with_zip64_records(self):
        source = self.folder("source")
        files = {"r%d.bin" % n: os.urandom(60000) for n in range(6)}
        files["notes.txt"] = b"notes\n" * 5000
        for name, data in files.items():
            Path(os.path.join(source, name)).write_bytes(data)
        run(["zip", "-q", "-fz", "-s", "100k", self.path("set.zip"), *sorted(files)], cwd=source)
        self.assertTrue(os.path.exists(self.path("set.z01")))
        for options in ([], ["--split", self.disk_size(200 * 1024)]):
            with self.subTest(options=options):
                output = self.path("set-%d.run" % len(options))
                run([self.mksfx, "-q", *options, "-o", output, self.path("set.zip")])
                if options:
                    disks = [os.path.join(output, "disk%d" % n, os.path.basename(output))
                             for n in range(1, len(os.listdir(output)) + 1)]
                    target = self.folder("out-spanned")
                    result = extract_set(disks, target, timeout=300)
                    self.assertEqual(result.status, 0, repr(result))
                else:
                    self.assert_peers_accept(output, len(files))
                    target = self.extract(output)
                self.assertEqual(files_below(target), files)


def crc_and_size(path):
    crc, size = 0, 0
    with open(path, "rb") as data:
        while True:
            chunk = data.read(1 << 22)
            if not chunk:
                return crc, size
            crc, size = zlib.crc32(chunk, crc), size + len(chunk)


class LargeTest(Scratch):
    """A stored member of 4.5 GiB (a sparse file) and a small one behind it,
    whose local header then lies past 4 GiB, extracted by every stub built.
    Needs about 12 GB of free disk."""

    NEEDED = 12 * 10**9

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="zip64-large-", dir=os.environ.get("SFX_LARGE_DIR"))
        self.addCleanup(shutil.rmtree, self.work, True)
        free = shutil.disk_usage(self.work).free
        if free < self.NEEDED:
            self.skipTest("needs 12 GB of free disk in %s, has %.1f GB" % (self.work, free / 1e9))

    def test_member_past_4_gib(self):
        source = self.folder("source")
        big = os.path.join(source, "big.bin")
        with open(big, "wb") as out:
            out.seek((9 << 29) - 5)  # 4.5 GiB, sparse but for its last bytes
            out.write(b"tail.")
        Path(os.path.join(source, "small.txt")).write_bytes(b"after the large member\n")
        expected = {"big.bin": crc_and_size(big), "small.txt": crc_and_size(os.path.join(source, "small.txt"))}
        stubs = {"linux": self.linux_stub, "win32": self.options.win32_stub, "win64": self.options.win64_stub}
        for label, stub in stubs.items():
            if stub is None or (label != "linux" and wine_binary(label) is None):
                continue
            with self.subTest(label):
                on = Target(label, stub, self.work).ready()
                output = self.path("large-%s" % label)
                run([self.mksfx, "-q", "-0", "--stub", on.stub, "-o", output, "."], cwd=source)
                if label == "linux":
                    self.assertIn(b"No errors detected", run(["unzip", "-tq", output]).stdout)
                target = self.folder("out-" + label)
                result = on.run(output, stdin=None, cwd=target, timeout=1800)
                self.assertEqual(result.status, 0, result.stdout[-300:] + result.stderr[-300:])
                self.assertEqual(result.stderr, b"")
                found = {name: crc_and_size(os.path.join(target, name)) for name in sorted(os.listdir(target))}
                self.assertEqual(found, expected)
                shutil.rmtree(target)
                os.remove(output)

