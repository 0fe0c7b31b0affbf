"""End-to-end cases for mksfx: build self-extractors, run them in empty
folders and compare what they extract with what went in. One class a ctest
test (pytest -k CLASS); WineTest runs on a Windows --target only.
"""
import os
import random
import re
import shutil
import signal
import stat
import struct
import subprocess
import time
import unittest
import zipfile
from pathlib import Path

import pytest
from file_trees import Link, files_below, read_tree, tree_differences, without_metadata
from prompts import extract_set
from stub_runner import qemu_command
from zip_writer import END_SIGNATURE, ZIP64_LOCATOR_SIGNATURE, aes_extra

PASSWORD = "s3cret pw"


def make_tree(root, seed=1, plain_names=False):
    """A small tree: text and random files, nested and empty folders, an
    empty file, an executable and a read-only file, times on even seconds,
    and a UTF-8 name unless plain_names."""
    rng = random.Random(seed)
    os.makedirs(os.path.join(root, "docs", "deep", "deeper"))
    os.makedirs(os.path.join(root, "empty folder"))
    files = {
        "readme.txt": b"hello, world\n" * 50,
        "docs/notes.md": "".join("line %d\n" % i for i in range(5000)).encode(),
        "docs/deep/random.bin": rng.randbytes(150000),
        "docs/deep/deeper/empty": b"",
        "run.sh": b"#!/bin/sh\necho hi\n",
    }
    if not plain_names:
        files["caf\u00e9.txt"] = b"utf-8 name\n"
    for index, (name, data) in enumerate(sorted(files.items())):
        path = os.path.join(root, name)
        Path(path).write_bytes(data)
        os.utime(path, (1600000000 + 7200 * index, 1600000000 + 7200 * index))
    os.chmod(os.path.join(root, "run.sh"), 0o755)
    os.chmod(os.path.join(root, "readme.txt"), 0o444)


def run_native(program, cwd, stdin_text=""):
    return subprocess.run([os.path.abspath(program)], cwd=cwd, input=stdin_text.encode(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)


class Scratch(unittest.TestCase):
    @pytest.fixture(autouse=True)
    def scratch(self, options, folder):
        self.options, self.built, self.work = options, set(options.built), folder

    def mksfx(self, *args, env=None, check=True):
        completed = subprocess.run([self.options.mksfx, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env, text=True, timeout=300)
        if check and completed.returncode != 0:
            raise AssertionError("mksfx %s failed (%d):\n%s" % (" ".join(args), completed.returncode, completed.stderr))
        return completed

    def packed_tree(self, **settings):
        """make_tree's tree in a fresh source/pkg: the source folder and its number of files."""
        source = self.fresh_folder("source")
        make_tree(os.path.join(source, "pkg"), **settings)
        return source, len(files_below(source))

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def fresh_folder(self, name):
        folder = self.path(name)
        os.makedirs(folder)
        return folder

    def assert_unzip_accepts(self, archive, password=None):
        """unzip tests the archive; one with AES members, which unzip cannot
        read, 7-Zip tests and bsdtar extracts instead."""
        with zipfile.ZipFile(archive) as opened:
            aes = any(info.compress_type == 99 for info in opened.infolist())
        commands = [["unzip", "-tq"] + (["-P", password] if password else []) + [archive]]
        if aes:
            commands = [["bsdtar", "-xOf", archive, "--passphrase", password]]
            # 7-Zip 26.02 opens no self-extractor with a Windows stub in front, with or without AES.
            with open(archive, "rb") as head:
                if head.read(2) != b"MZ":
                    commands.append(["7za", "t", "-p" + password, archive])
        for command in commands:
            completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True)
            self.assertEqual(completed.returncode, 0, command[0] + ": " + repr(completed.stdout + completed.stderr))

    def assert_refused(self, args, status, message, output_name="refused.run"):
        output = self.path(output_name)
        result = self.mksfx(*args, "-o", output, check=False)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertIn(message, result.stderr)
        self.assertFalse(os.path.exists(output))
        self.assertEqual([n for n in os.listdir(self.work) if "mksfx-" in n], [])

    def assert_same_tree(self, expected_root, actual_root, with_modes=True):
        """Same folders and files, file bytes and times to the second, modes when with_modes."""
        expected = without_metadata(read_tree(expected_root, folders=True, metadata=True), times=True, modes=with_modes)
        self.assertEqual(tree_differences(read_tree(actual_root, folders=True, metadata=True), expected), [])


class RoundTripTest(Scratch):
    """Folder -> mksfx -> self-extractor run in an empty folder -> same tree."""

    def test_variants(self):
        source, count = self.packed_tree()
        cases = [("default", [], None), ("stored", ["-0"], None), ("best", ["-9"], None),
                 ("password", ["--password", PASSWORD], PASSWORD), ("password-stored", ["-0", "--password", PASSWORD],
                                                                    PASSWORD),
                 ("zipcrypto", ["--encryption", "zipcrypto", "--password", PASSWORD], PASSWORD)]
        for label, options, password in cases:
            with self.subTest(label):
                output = self.path(label + ".run")
                self.mksfx("-q", *options, "-o", output, os.path.join(source, "pkg"))
                self.assert_unzip_accepts(output, password)
                target = self.fresh_folder("out-" + label)
                result = run_native(output, target, (password + "\n") * count if password else "")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_same_tree(source, target)

    def test_stored_when_nothing_is_gained_and_listing(self):
        source = self.fresh_folder("source")
        Path(os.path.join(source, "noise")).write_bytes(os.urandom(50000))
        Path(os.path.join(source, "text")).write_bytes(b"abc" * 10000)
        result = self.mksfx("-o", self.path("x.run"), os.path.join(source, "noise"), os.path.join(source, "text"))
        self.assertIn("  adding: noise (stored 0%)", result.stdout)
        self.assertIn("  adding: text (deflated", result.stdout)
        with zipfile.ZipFile(self.path("x.run")) as archive:
            methods = {info.filename: info.compress_type for info in archive.infolist()}
        self.assertEqual(methods, {"noise": zipfile.ZIP_STORED, "text": zipfile.ZIP_DEFLATED})

    def test_symbolic_links_kept_or_followed(self):
        source = self.fresh_folder("source")
        pkg = os.path.join(source, "pkg")
        os.makedirs(os.path.join(pkg, "lib", "real"))
        Path(os.path.join(pkg, "lib", "libfoo.so.1")).write_text("library")
        links = {"lib/libfoo.so": "libfoo.so.1", "lib/folder": "real", "lib/dangling": "nowhere", "away": "../outside",
                 "lib/back": ".."}
        for name, target in links.items():
            os.symlink(target, os.path.join(pkg, name))
        plain = {"pkg": None, "pkg/lib": None, "pkg/lib/real": None, "pkg/lib/libfoo.so.1": None}
        kept = dict(plain, **{"pkg/" + name: target for name, target in links.items()})
        followed = dict(plain, **{"pkg/lib/libfoo.so": None, "pkg/lib/folder": None})
        for label, options, expected, warnings in [
                ("kept", [], kept, ["%s/away is a link to ../outside, outside the packed folder" % pkg]),
                ("followed", ["--dereference"], followed,
                 ["skipping %s/%s: a link to nothing" % (pkg, name) for name in ("away", "lib/dangling")] +
                 ["skipping %s/lib/back: it leads back to a folder that holds it" % pkg])]:
            with self.subTest(label):
                output = self.path(label + ".run")
                result = self.mksfx("-q", *options, "-o", output, pkg)
                self.assertEqual(sorted(result.stderr.splitlines()), sorted("mksfx: warning: " + w for w in warnings))
                target = self.fresh_folder("out-" + label)
                self.assertEqual(run_native(output, target).returncode, 0)
                made = {name: value.target if isinstance(value, Link) else None
                        for name, value in read_tree(target, folders=True).items()}
                self.assertEqual(made, expected)
                with open(os.path.join(target, "pkg", "lib", "libfoo.so"), "rb") as library:
                    self.assertEqual(library.read(), b"library")
        with zipfile.ZipFile(self.path("kept.run")) as archive:
            info = archive.getinfo("pkg/lib/libfoo.so")
            self.assertEqual((info.create_system, oct(info.external_attr >> 16)), (3, oct(0o120777)))

    def test_earlier_output_in_the_packed_folder_is_left_out(self):
        source = self.fresh_folder("source")
        Path(os.path.join(source, "data.txt")).write_text("data")
        output = os.path.join(source, "setup")
        for _ in range(2):
            self.mksfx("-q", "-o", output, source + "/.")
        with zipfile.ZipFile(output) as archive:
            self.assertEqual(archive.namelist(), ["data.txt"])

    def test_interrupt_removes_the_partial_output(self):
        source = self.fresh_folder("source")
        Path(os.path.join(source, "noise")).write_bytes(random.Random(7).randbytes(48 << 20))  # seconds of work at -9
        for label, options, signal_number in [("single", [], signal.SIGINT), ("spanned", ["--split", "8M"], signal.SIGINT),
                                              ("terminated", [], signal.SIGTERM)]:
            with self.subTest(label):
                folder = self.fresh_folder(label)
                command = [self.options.mksfx, "-q", "-9", *options, "-o", os.path.join(folder, "setup"), source]
                process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, text=True)
                deadline = time.monotonic() + 60
                while not os.listdir(folder) and process.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.01)  # until the partial output appears
                process.send_signal(signal_number)
                _, errors = process.communicate(timeout=120)
                self.assertEqual(process.returncode, 128 + signal_number, errors)
                self.assertIn("mksfx: interrupted", errors)
                self.assertEqual(os.listdir(folder), [])

    def test_failed_build_leaves_existing_output(self):
        output = self.path("keep.run")
        Path(output).write_bytes(b"old")
        result = self.mksfx("-o", output, self.path("missing"), check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn(self.path("missing"), result.stderr)
        self.assertEqual(Path(output).read_bytes(), b"old")
        self.assertEqual(os.listdir(self.work), ["keep.run"])


class ConversionTest(Scratch):
    """Archives made by other tools keep their members; only offsets move."""

    def make_archives(self, source):
        made = {}
        made["infozip"] = self.path("infozip.zip")
        subprocess.run(["zip", "-qr", made["infozip"], "pkg"], cwd=source, check=True)
        made["infozip-split"] = self.path("split", "set.zip")
        os.makedirs(self.path("split"))
        subprocess.run(["zip", "-qr", "-s", "64k", made["infozip-split"], "pkg"], cwd=source, check=True)
        self.assertTrue(os.path.exists(self.path("split", "set.z02")), "zip -s made fewer than 3 parts")
        made["infozip-stream"] = self.path("stream.zip")  # written to a pipe: data descriptors
        with open(made["infozip-stream"], "wb") as out:
            subprocess.run(["zip", "-qr", "-", "pkg"], cwd=source, stdout=out, check=True)
        made["infozip-password"] = self.path("password.zip")
        subprocess.run(["zip", "-qr", "-P", PASSWORD, made["infozip-password"], "pkg"], cwd=source, check=True)
        made["prefixed"] = self.path("prefixed.zip")  # offsets count from the archive's own start
        with open(made["prefixed"], "wb") as out, open(made["infozip"], "rb") as archive:
            out.write(b"#!/bin/sh\n" + bytes(5000) + archive.read())
        made["7z"] = self.path("seven.zip")
        subprocess.run(["7z", "a", "-tzip", "-bd", made["7z"], "pkg"], cwd=source, check=True,
                       stdout=subprocess.DEVNULL)
        made["7z-aes"] = self.path("seven-aes.zip")
        subprocess.run(["7z", "a", "-tzip", "-bd", "-mem=AES192", "-p" + PASSWORD, made["7z-aes"], "pkg"], cwd=source,
                       check=True, stdout=subprocess.DEVNULL)
        made["python"] = self.path("python.zip")
        with zipfile.ZipFile(made["python"], "w") as archive:
            for folder, dirs, files in os.walk(os.path.join(source, "pkg")):
                for name in sorted(dirs + files):
                    path = os.path.join(folder, name)
                    method = zipfile.ZIP_DEFLATED if name.endswith(".md") else zipfile.ZIP_STORED
                    archive.write(path, os.path.relpath(path, source), compress_type=method)
        return made

    def test_conversions(self):
        source, count = self.packed_tree()
        for label, archive in self.make_archives(source).items():
            with self.subTest(label):
                output = self.path(label + ".run")
                self.mksfx("-q", "-o", output, archive)
                password = PASSWORD if label in ("infozip-password", "7z-aes") else None
                self.assert_unzip_accepts(output, password)
                target = self.fresh_folder("out-" + label)
                result = run_native(output, target, (PASSWORD + "\n") * count if password else "")
                self.assertEqual(result.returncode, 0, result.stderr)
                # Other tools differ in what they keep of modes (7-Zip) and
                # folder times; bytes and file times must survive.
                self.assert_same_tree(source, target, with_modes=label.startswith(("infozip", "prefixed")))
                if label == "python":
                    self.assert_members_unchanged(archive, output)

    def test_installer_block_of_a_converted_archive_is_left_out(self):
        archive = self.path("downloaded.zip")
        with zipfile.ZipFile(archive, "w") as made:
            made.writestr("app/x.sh", "#!/bin/sh\necho ran\n")
            made.comment = b"sfxstub installer 1\nrun=app/x.sh\nsilent\nend\nfree text"
        warning = "mksfx: warning: leaving out the installer settings in the comment of %s (they would run app/x.sh)\n"
        for label, options, comment in [("plain", [], b"free text"),
                                        ("own block", ["--dest", "D"], b"sfxstub installer 1\ndest=D\nend\nfree text")]:
            with self.subTest(label):
                output = self.path(label + ".run")
                result = self.mksfx("-q", *options, "-o", output, archive)
                self.assertEqual(result.stderr, warning % archive)
                with zipfile.ZipFile(output) as converted:
                    self.assertEqual(converted.comment, comment)
        target = self.fresh_folder("out")
        result = run_native(self.path("plain.run"), target)
        self.assertEqual((result.returncode, b"ran" in result.stdout, os.listdir(target)), (0, False, ["app"]))

    def assert_members_unchanged(self, original, converted):
        with zipfile.ZipFile(original) as before, zipfile.ZipFile(converted) as after:
            describe = lambda archive: [(i.filename, i.compress_type, i.CRC, i.compress_size, i.external_attr)
                                        for i in archive.infolist()]
            self.assertEqual(describe(before), describe(after))


class ReproducibleTest(Scratch):
    def test_mtime_gives_identical_bytes(self):
        source, _ = self.packed_tree()
        self.mksfx("-q", "--mtime", "1700000000", "-o", self.path("a.run"), os.path.join(source, "pkg"))
        # Other times and modes, the same epoch from the environment.
        for folder, _, files in os.walk(source):
            for name in files:
                os.utime(os.path.join(folder, name), (1234567890, 1234567890))
        os.chmod(os.path.join(source, "pkg", "readme.txt"), 0o600)
        env = dict(os.environ, SOURCE_DATE_EPOCH="1700000000")
        self.mksfx("-q", "-o", self.path("b.run"), os.path.join(source, "pkg"), env=env)
        first, second = (Path(self.path(name)).read_bytes() for name in ("a.run", "b.run"))
        self.assertTrue(first == second, "outputs differ")
        target = self.fresh_folder("out")
        self.assertEqual(run_native(self.path("a.run"), target).returncode, 0)
        for name, value in read_tree(target, metadata=True).items():
            self.assertEqual(int(value.mtime), 1700000000, name)


    def test_embedded_stub_is_the_built_one(self):
        source, _ = self.packed_tree()
        self.mksfx("-q", "--mtime", "1700000000", "-o", self.path("embedded.run"), source)
        stub = self.options.linux_stub
        self.mksfx("-q", "--mtime", "1700000000", "--stub", stub, "-o", self.path("file.run"), source)
        embedded, from_file = (Path(self.path(name)).read_bytes() for name in ("embedded.run", "file.run"))
        self.assertTrue(embedded == from_file, "the embedded stub differs from " + stub)


class RefusalTest(Scratch):
    def test_unsafe_names_in_archives(self):
        for name, reason in [("../evil.txt", '".." component'), ("a/../../evil.txt", '".." component'),
                             ("/etc/evil.txt", "absolute path"), ("c:/evil.txt", "drive")]:
            with self.subTest(name):
                archive = self.path("unsafe.zip")
                with zipfile.ZipFile(archive, "w") as out:
                    out.writestr("fine.txt", "fine")
                    info = zipfile.ZipInfo("placeholder")
                    info.filename = name  # zipfile would clean the name otherwise
                    out.writestr(info, "evil")
                self.assert_refused([archive], 1, reason)

    def test_windows_only_unsafe_names(self):
        if "win64" not in self.built:
            self.skipTest("no Windows stub in this build")
        source = self.fresh_folder("source")
        Path(os.path.join(source, "..\\evil")).write_text("x")
        self.assert_refused(["--target", "win64", source], 1, '".." component')
        self.mksfx("-q", "-o", self.path("linux.run"), source)  # a plain file name on Linux
        for device in ("NUL", "com1.txt", "aux"):
            with self.subTest(device):
                source = self.fresh_folder("source-" + device)
                Path(os.path.join(source, device)).write_text("x")
                self.assert_refused(["--target", "win64", source], 1, "a device name on Windows")

    def test_names_not_utf8_are_each_named(self):
        """Windows reads names that are not UTF-8 in its DOS code page: every one
        of them is named; UTF-8 names are flagged and need no warning."""
        if "win64" not in self.built:
            self.skipTest("no Windows stub in this build")
        source = self.fresh_folder("source")
        for name in (b"caf\x82.txt", b"na\x8bve.txt", "Gr\u00fc\u00dfe.txt".encode()):
            with open(os.path.join(os.fsencode(source), name), "wb") as out:
                out.write(b"x")
        output = self.path("names.exe")
        result = self.mksfx("-q", "--target", "win64", "-o", output, source)
        warned = [line for line in result.stderr.splitlines() if "is not UTF-8" in line]
        self.assertEqual(len(warned), 2, result.stderr)
        with zipfile.ZipFile(output) as made:
            flags = {info.orig_filename.encode("cp437", "replace") if not info.flag_bits & 0x800
                     else info.filename.encode(): info.flag_bits & 0x800 for info in made.infolist()}
        self.assertEqual(sorted(name for name, flag in flags.items() if flag), [b"source/Gr\xc3\xbc\xc3\x9fe.txt"])

    def test_usage_errors(self):
        source = self.fresh_folder("source")
        cases = [(["--bogus", source], "unknown option"), ([], "no input"), (["-1", "--split", "1x", source], "--split"),
                 (["--target", "dos", source], "unknown target"), (["--mtime", "yesterday", source], "--mtime"),
                 (["--password", "a", "--password-file", "f", source], "exclude each other"),
                 (["--password", "", source], "password is empty"),
                 (["--encryption", "rot13", "--password", "a", source], "unknown encryption 'rot13'"),
                 (["--encryption", "aes", source], "--encryption needs --password")]
        for args, message in cases:
            with self.subTest(args):
                self.assert_refused(args, 2, message)
        # What does not fit the target: a shell script for Windows, a Windows
        # program's name for the default target, Linux.
        Path(self.path("windows-stub")).write_bytes(b"MZ" + bytes(200))
        for args, name, message in [(["--stub", self.path("windows-stub"), "--run", "x/run.sh", source], "setup.exe",
                                     "--run x/run.sh: a shell script, which Windows cannot run"),
                                    ([source], "setup.EXE", "setup.EXE is named as a Windows program")]:
            with self.subTest(name):
                self.assert_refused(args, 2, message, name)
        self.mksfx("-q", "--target", "linux", "-o", self.path("linux.exe"), source)  # chosen, not a mistake

    def test_installer_paths_typed_with_backslashes(self):
        """'\\' separates folders on Windows: for a Windows target the block
        gets '/', the program's arguments keep theirs; on Linux it is a name's
        character."""
        if "win64" not in self.built:
            self.skipTest("no Windows stub in this build")
        source = self.fresh_folder("source")
        os.makedirs(os.path.join(source, "My App", "bin"))
        for name in ("My App/bin/setup.exe", "My App\\bin\\setup.exe"):
            Path(os.path.join(source, name)).write_text("x")
        run = "'My App\\bin\\setup.exe' /dir=C:\\x"
        for target, block in [("win64", "dest=Two/Levels\nrun=My App/bin/setup.exe\narg=/dir=C:\\x\n"),
                              ("linux", "dest=Two\\Levels\nrun=My App\\bin\\setup.exe\narg=/dir=C:\\x\n")]:
            with self.subTest(target):
                output = self.path(target + ".out")
                self.mksfx("-q", "--target", target, "--dest", "Two\\Levels", "--run", run, "-o", output, source + "/.")
                with zipfile.ZipFile(output) as made:
                    self.assertEqual(made.comment.decode(), "sfxstub installer 1\n" + block + "end\n")

    def test_longest_password_is_what_the_stub_reads(self):
        """The stub reads 254 characters of a line, its line end included."""
        source = self.fresh_folder("source")
        for name in ("one", "two"):
            Path(os.path.join(source, name)).write_text(name * 100)
            os.utime(os.path.join(source, name), (1600000000, 1600000000))  # DOS times keep even seconds only
        longest = "".join(chr(33 + i % 94) for i in range(253))
        Path(self.path("pw254")).write_text(longest + "x\n")
        for args in (["--password", longest + "x", source], ["--password-file", self.path("pw254"), source]):
            with self.subTest(args[0]):
                self.assert_refused(args, 2, "the password is 254 bytes long; the stub reads at most 253")
        output = self.path("longest.run")
        self.mksfx("-q", "--password", longest, "-o", output, source + "/.")
        target = self.fresh_folder("out")
        result = run_native(output, target, (longest + "\n") * 2)
        self.assertEqual(result.returncode, 0, result.stderr)
        # One password enciphers every member: the stub asks once and keeps it whole.
        self.assertEqual(result.stdout.count(b"Please enter the password for"), 1)
        self.assertEqual(sorted(os.listdir(target)), ["one", "two"])
        self.assert_same_tree(source, target)

    def test_output_in_a_missing_folder(self):
        source = self.fresh_folder("source")
        Path(self.path("plain")).write_text("a file, not a folder")
        cases = [([], "missing/setup", "the folder %s does not exist" % self.path("missing")),
                 (["--split", "1M"], "missing/floppies", "the folder %s does not exist" % self.path("missing")),
                 ([], "plain/setup", "%s is not a folder" % self.path("plain")),
                 ([], "setup/", "without --split, OUTPUT is a file, and its name cannot end in '/'")]
        for options, output, message in cases:
            with self.subTest(output):
                result = self.mksfx(*options, "-o", self.path(output), source, check=False)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertEqual(result.stderr, "mksfx: cannot write %s: %s\n" % (self.path(output), message))
                self.assertEqual(sorted(os.listdir(self.work)), ["plain", "source"])
        self.mksfx("-q", "--split", "8M", "-o", self.path("floppies") + "/", source)  # a folder's name may end in '/'
        self.assertEqual(os.listdir(self.path("floppies", "disk1")), ["floppies"])

    def test_existing_output_that_is_not_a_regular_file_is_kept(self):
        source = self.fresh_folder("source")
        make_device = lambda path: os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # /dev/null's numbers
        cases = [("fifo", os.mkfifo, [], "is a FIFO, not a regular file"),
                 ("link to a device", lambda path: os.symlink("/dev/null", path), [], "leads to a device"),
                 ("device", make_device, [], "is a device, not a regular file"),
                 ("spanned over a fifo", os.mkfifo, ["--split", "1M"], "exists and is not an earlier spanned output")]
        for label, make, options, message in cases:
            with self.subTest(label):
                if label == "device" and os.geteuid() != 0:
                    continue  # only root may make a device node
                folder = self.fresh_folder(label.replace(" ", "-"))
                output = os.path.join(folder, "existing")
                make(output)
                before = os.lstat(output)
                result = self.mksfx(*options, "-o", output, source, check=False)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(output + " " + message, result.stderr)
                after = os.lstat(output)
                self.assertEqual((after.st_mode, after.st_ino, after.st_rdev),
                                 (before.st_mode, before.st_ino, before.st_rdev))
                self.assertEqual(os.listdir(folder), ["existing"])

    def test_unbuilt_stub_is_reported(self):
        unbuilt = [target for target in ("win64", "linux-arm64") if target not in self.built]
        if not unbuilt:
            self.skipTest("this build has every stub")
        source = self.fresh_folder("source")
        for target in unbuilt:
            with self.subTest(target):
                self.assert_refused(["--target", target, source], 1, target + " target is unavailable")

    def test_help_lists_the_built_targets(self):
        built = ["linux"] + [target for target in ("linux-arm64", "win32", "win64") if target in self.built]
        help_text = self.mksfx("--help").stdout
        self.assertIn("Built-in targets: %s.\n" % ", ".join(built), help_text)
        self.assertIn("Default target: %s.\n" % ("linux-arm64" if os.uname().machine == "aarch64" else "linux"),
                      help_text)
        self.assertEqual(self.mksfx("-o", "x", "/?").stdout, help_text)  # as Windows programs read it

    def test_help_and_man_page_name_the_same_options(self):
        listed = set()
        for line in self.mksfx("--help").stdout.splitlines():
            if line.startswith("  -"):  # the option column runs to two blanks
                listed.update(re.findall(r"(?<![\w-])--?[\w][\w-]*", re.split(r"\s{2,}", line.strip())[0]))
        man_page = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "man", "mksfx.1")
        with open(man_page) as page:
            described = {"-" + name for line in page if line.startswith(".It Fl ")
                         for name in re.findall(r"\bFl (-?[\w][\w-]*)", line)}
        self.assertEqual(sorted(listed), sorted(described))


class EncryptionTest(Scratch):
    """--password writes AES-256 members (AE-2, a salt of their own);
    --encryption zipcrypto the traditional cipher, with a warning."""

    def local_aes_block(self, data, info):
        name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
        start = info.header_offset + 30 + name_length
        extra = data[start:start + extra_length]
        return extra, data[start + extra_length:start + extra_length + 18]

    def test_aes_members_as_written(self):
        source, _ = self.packed_tree()
        salts = []
        for run in ("first", "second"):
            output = self.path(run + ".run")
            result = self.mksfx("-q", "--password", PASSWORD, "-o", output, os.path.join(source, "pkg"))
            self.assertEqual(result.stderr, "")
            data = Path(output).read_bytes()
            with zipfile.ZipFile(output) as archive:
                for info in archive.infolist():
                    if info.is_dir():
                        continue
                    # A member that does not shrink is stored: its data is its size and the 28 bytes of AES.
                    method = 0 if info.compress_size == info.file_size + 28 else 8
                    if info.filename.endswith(("random.bin", "notes.md")):
                        self.assertEqual(method, 0 if info.filename.endswith("random.bin") else 8)
                    aes = aes_extra(2, 3, method)
                    self.assertEqual((info.compress_type, info.flag_bits & 1, info.extract_version, info.CRC, info.extra),
                                     (99, 1, 51, 0, aes), info.filename)
                    local_extra, salt_and_verifier = self.local_aes_block(data, info)
                    self.assertEqual(local_extra, aes, info.filename)
                    salts.append(salt_and_verifier[:16])
        self.assertEqual(len(set(salts)), len(salts), "two members share a salt")

    def test_zipcrypto_warns(self):
        source, _ = self.packed_tree()
        output = self.path("weak.run")
        result = self.mksfx("-q", "--encryption", "zipcrypto", "--password", PASSWORD, "-o", output, source)
        self.assertIn("the traditional zip cipher is weak", result.stderr)
        with zipfile.ZipFile(output) as archive:
            self.assertEqual({i.compress_type for i in archive.infolist() if not i.is_dir()}, {0, 8})

    def test_wrong_password_extracts_nothing(self):
        source, count = self.packed_tree()
        output = self.path("aes.run")
        self.mksfx("-q", "--password", PASSWORD, "-o", output, os.path.join(source, "pkg"))
        target = self.fresh_folder("out")
        result = run_native(output, target, "not it\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        sorry = b"Sorry, you did not enter a valid password. This file will not be unzipped.\n"
        self.assertEqual(result.stderr, sorry * count)
        self.assertEqual(files_below(target), {})
        completed = subprocess.run(["7za", "t", "-pnot it", output], stdin=subprocess.DEVNULL, capture_output=True)
        self.assertNotEqual(completed.returncode, 0)


class MessageTest(Scratch):
    """Names from folders and archives are shown by the stub's rule: control
    bytes (and a zero byte) as '?', the whole name and reason kept."""

    @staticmethod
    def archive_with(base, name):
        archive = os.path.join(base, "names.zip")
        with zipfile.ZipFile(archive, "w") as out:
            info = zipfile.ZipInfo("placeholder")
            info.filename = name  # ZipInfo would cut the name at a zero byte
            out.writestr(info, "data")
        return archive

    @staticmethod
    def folder_with_file(base, name):
        os.makedirs(os.path.join(base, "src"))
        Path(os.path.join(base, "src", name)).write_text("data")
        return os.path.join(base, "src")

    @staticmethod
    def folder_with_dangling_link(base, name):
        os.makedirs(os.path.join(base, "src"))
        os.symlink("/nowhere", os.path.join(base, "src", name))
        return os.path.join(base, "src")

    def test_names_are_shown_safely(self):
        cases = [("adding", self.folder_with_file, "a\x1b[2Jb", 0, "  adding: src/a?[2Jb ("),
                 ("C1 control", self.folder_with_file, "c\x9b2Jd", 0, "  adding: src/c?2Jd ("),
                 ("warning", self.folder_with_dangling_link, "l\x07ink\x7f", 0,
                  "/src/l?ink? is a link to /nowhere, outside the packed folder; the self-extractor will not make it"),
                 ("copying", self.archive_with, "x\x1b]0;title\x07y", 0, "  copying: x?]0;title?y\n"),
                 ("zero byte", self.archive_with, "a\0b\rc", 1,
                  "mksfx: refusing member a?b?c: a name holding a zero byte\n")]
        for label, make, name, status, expected in cases:
            with self.subTest(label):
                base = self.fresh_folder(label.replace(" ", "-"))
                result = self.mksfx("-o", os.path.join(base, "names.run"), make(base, name), check=False)
                self.assertEqual(result.returncode, status, result.stderr)
                shown = result.stdout + result.stderr
                self.assertIn(expected, shown)
                self.assertFalse(set(shown) & set("\0\x07\x1b\x7f\x9b\r"), repr(shown))


    def test_warnings_for_windows_programs(self):
        """A Windows self-extractor without .exe, and a 32-bit one that would run
        a 64-bit program (on 32-bit Windows: error 193), found in a folder or a
        converted archive."""
        if "win64" not in self.built:
            self.skipTest("no Windows stub in this build")
        source = self.fresh_folder("source")
        os.makedirs(os.path.join(source, "app"))
        self.mksfx("-q", "--target", "win64", "-o", os.path.join(source, "app", "setup.exe"), source + "/app")
        archive = self.path("app.zip")
        subprocess.run(["zip", "-qr", archive, "app"], cwd=source, check=True)
        width = "--run app/setup.exe is a 64-bit Windows program; 32-bit Windows, where this self-extractor runs too"
        linked = self.fresh_folder("linked")
        os.symlink("readme.txt", os.path.join(linked, "README"))
        for label, target, name, inputs, warning in [
                ("a link", "win64", "setup.exe", [source + "/.", linked],
                 "1 symbolic link is stored as such; the Windows self-extractor writes each as a file holding"),
                ("no .exe", "win64", "setup", [source + "/."], "setup is a Windows program; Windows starts it only"),
                ("64-bit program", "win32", "setup.exe", [source + "/."], width),
                ("64-bit program converted", "win32", "setup.exe", [archive], width),
                ("64-bit target", "win64", "setup.exe", [archive], None)]:
            with self.subTest(label):
                output = self.path(label.replace(" ", "-"), name)
                os.makedirs(os.path.dirname(output))
                result = self.mksfx("-q", "--target", target, "--run", "app/setup.exe", "-o", output, *inputs)
                expected = "mksfx: warning: " + warning if warning else ""
                self.assertEqual((result.stderr[:len(expected)], result.stderr.count("\n")), (expected, len(expected) > 0))


class LimitTest(Scratch):
    """65535 entries still fit the end record; one more takes a Zip64 end record."""

    def test_entry_count_at_the_16_bit_limit(self):
        many = self.fresh_folder("many")
        for index in range(65534):
            open(os.path.join(many, "%05d" % index), "wb").close()
        for entries, zip64 in ((65535, False), (65536, True)):
            with self.subTest(entries=entries):
                output = self.path("limit.run")
                self.mksfx("-q", "-o", output, many)  # the folder's own entry is one more
                tail = Path(output).read_bytes()[-98:]
                self.assertEqual(ZIP64_LOCATOR_SIGNATURE in tail, zip64)
                count = struct.unpack_from("<H", tail, tail.rfind(END_SIGNATURE) + 10)[0]
                self.assertEqual(count, 0xFFFF if zip64 else entries)
                target = self.fresh_folder("out-%d" % entries)
                result = run_native(output, target)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                self.assertEqual(len(os.listdir(os.path.join(target, "many"))), entries - 1)
                open(os.path.join(many, "%05d" % entries), "wb").close()


class SplitTest(Scratch):
    """--split: disks of at most SIZE, disk1/NAME first, extracting in order."""

    def build_split(self, source, size, *options):
        output = self.path("floppies", "setup")
        os.makedirs(self.path("floppies"), exist_ok=True)
        self.mksfx("-q", "--split", str(size), *options, "-o", output, source)
        disks = sorted(os.listdir(output), key=lambda name: int(name[4:]))
        self.assertEqual(disks, ["disk%d" % n for n in range(1, len(disks) + 1)])
        paths = [os.path.join(output, disk, "setup") for disk in disks]
        self.assertEqual([os.listdir(os.path.join(output, disk)) for disk in disks], [["setup"]] * len(disks))
        for path in paths:
            self.assertLessEqual(os.path.getsize(path), size, path)
        return paths

    def stub_size(self):
        """Bytes of the embedded stub (large in a sanitizer build): the size
        of a self-extractor that holds nothing."""
        empty = self.fresh_folder("nothing")
        self.mksfx("-q", "-o", self.path("nothing.run"), empty + "/.")
        return os.path.getsize(self.path("nothing.run"))

    def test_spanned_round_trip(self):
        source, _ = self.packed_tree()
        # Disk 1 holds the stub and 100 KiB; the noise fills two more disks.
        disk_size = self.stub_size() + 100 * 1024
        noise = os.path.join(source, "pkg", "noise.bin")
        Path(noise).write_bytes(random.Random(5).randbytes(disk_size + 50000))
        os.utime(noise, (1600000000, 1600000000))  # DOS times keep even seconds only
        for label, options, passwords in [("plain", [], []), ("password", ["--password", PASSWORD], [PASSWORD]),
                                          ("zipcrypto", ["--encryption=zipcrypto", "--password", PASSWORD],
                                           [PASSWORD])]:
            with self.subTest(label):
                shutil.rmtree(self.path("floppies"), ignore_errors=True)
                disks = self.build_split(os.path.join(source, "pkg"), disk_size, *options)
                self.assertGreaterEqual(len(disks), 3)
                target = self.fresh_folder("out-" + label)
                result = extract_set(disks, target, passwords)
                self.assertEqual(result.status, 0, repr(result))
                self.assertEqual(result.prompts[0], "last")
                self.assertEqual(sum(p.startswith("password") for p in result.prompts), 1 if passwords else 0)  # asked once for all members
                self.assert_same_tree(source, target)

    def test_rebuild_replaces_earlier_set(self):
        source, _ = self.packed_tree()
        stub_size = self.stub_size()
        self.assertGreater(len(self.build_split(os.path.join(source, "pkg"), stub_size + 40000)), 1)
        disks = self.build_split(os.path.join(source, "pkg"), stub_size + 1440 * 1024)
        self.assertEqual(len(disks), 1)

    def test_rebuild_inside_the_packed_folder_leaves_the_earlier_set_out(self):
        source = self.fresh_folder("source")
        Path(os.path.join(source, "data.txt")).write_text("data")
        output = os.path.join(source, "floppies")
        disk_size = str(self.stub_size() + 100 * 1024)
        for _ in range(2):
            self.mksfx("-q", "--split", disk_size, "-o", output, source + "/.")
        self.assertEqual(os.listdir(output), ["disk1"])
        with zipfile.ZipFile(os.path.join(output, "disk1", "floppies")) as archive:
            self.assertEqual(archive.namelist(), ["data.txt"])


class Arm64Test(Scratch):
    """The arm64 Linux stub (--target linux-arm64) under qemu's emulator."""

    def test_round_trips(self):
        source, count = self.packed_tree()
        for label, options, password in [("default", [], None), ("password", ["--password", PASSWORD], PASSWORD)]:
            with self.subTest(label):
                output = self.path(label + ".run")
                self.mksfx("-q", "--target", "linux-arm64", *options, "-o", output, os.path.join(source, "pkg"))
                header = Path(output).read_bytes()[:20]
                self.assertEqual((header[:4], header[18]), (b"\x7fELF", 183), "not an arm64 program")
                target = self.fresh_folder("out-" + label)
                result = subprocess.run(qemu_command(output), cwd=target, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, timeout=120,
                                        input=((password + "\n") * count if password else "").encode())
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_same_tree(source, target)


class WineTest(Scratch):
    """The stub of the Windows --target under wine."""

    @pytest.fixture(autouse=True)
    def windows(self, request, options):
        if not options.target.startswith("win"):
            pytest.skip("runs on a Windows target")
        self.target = request.getfixturevalue("target")

    def test_round_trips(self):
        source, count = self.packed_tree()  # a UTF-8 name, made under its characters
        for label, options, password in [("default", [], None), ("stored", ["-0"], None),
                                         ("password", ["--password", PASSWORD], PASSWORD),
                                         ("zipcrypto", ["--encryption", "zipcrypto", "--password", PASSWORD],
                                          PASSWORD)]:
            with self.subTest(label):
                output = self.path(label + ".exe")
                self.mksfx("-q", "--target", self.target.arch, *options, "-o", output, os.path.join(source, "pkg"))
                self.assert_unzip_accepts(output, password)
                target = self.fresh_folder("out-" + label)
                result = self.target.run(output, stdin=((password + "\n") * count if password else "").encode(),
                                         cwd=target, timeout=120)
                self.assertEqual(result.status, 0, result.stderr)
                self.assert_same_tree(source, target, with_modes=False)

    def test_spanned(self):
        source, _ = self.packed_tree(plain_names=True)
        noise = os.path.join(source, "pkg", "noise.bin")
        Path(noise).write_bytes(random.Random(6).randbytes(250000))
        os.utime(noise, (1600000000, 1600000000))
        output = self.path("floppies", "setup.exe")
        os.makedirs(self.path("floppies"))
        self.mksfx("-q", "--target", self.target.arch, "--split", "100k", "-o", output, os.path.join(source, "pkg"))
        disks = [os.path.join(output, "disk%d" % n, "setup.exe") for n in range(1, len(os.listdir(output)) + 1)]
        self.assertGreaterEqual(len(disks), 3)
        target = self.fresh_folder("out")
        result = extract_set(disks, target, target=self.target)
        self.assertEqual(result.status, 0, repr(result))
        self.assert_same_tree(source, target, with_modes=False)
