"""mksfx.exe end to end under wine64: its built-in targets, and a folder
packed on Windows for win32, win64 and linux, with and without a password,
extracted by the Windows stubs under wine and by the Linux stub natively."""
import os
import stat
import struct
import subprocess
import tempfile
import unittest
import zipfile
from pathlib import Path

import pytest
from file_trees import files_below
from stub_runner import windows_path, wine_binary, wine_env
from targets import Target

PASSWORD = "s3cret pass"
FILES = {"top.txt": b"top level\n" * 50, "sub/inner.bin": bytes(range(256)) * 40,
         "sub/deeper/empty.txt": b"", "sub/with space.txt": b"x" * 3000}
# Names outside ASCII, one outside the BMP too (a surrogate pair in
# Windows's UTF-16), and a folder among them: mksfx.exe must read them by
# their wide names and store them as UTF-8.
UTF8_FILES = {"caf\u00e9 \u65e5\u672c.txt": b"UTF-8 name\n", "\u00fcber/\u0416\u0443\u043a.bin": bytes(range(200)),
              "smile \U0001F600.txt": b"outside the BMP\n"}
# The general-purpose bit that marks a member name as UTF-8.
UTF8_NAME_FLAG = 0x0800


class MksfxExeTest(unittest.TestCase):
    @pytest.fixture(autouse=True)
    def windows(self, options, work, folder):
        """Where each built self-extractor runs: win64 and linux always,
        win32 when its wine prefix is given (--wine-prefix ARCH=FOLDER)."""
        prefixes = dict(pair.split("=", 1) for pair in options.wine_prefix)
        names = ["win64", "linux"] + (["win32"] if "win32" in prefixes else [])
        self.targets = {name: Target(name, options.mksfx_exe, work, prefixes.get(name)).ready() for name in names}
        self.program, self.work = options.mksfx_exe, folder

    def mksfx(self, *args):
        # Without SOURCE_DATE_EPOCH, which would fix the stored modes.
        env = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
        return self.targets["win64"].run(self.program, stdin=None, args=args, cwd=self.work, timeout=120, env=env)

    def windows_command(self, *words):
        ran = subprocess.run([wine_binary("win64"), *words], env=wine_env(self.targets["win64"].prefix),
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(ran.returncode, 0, ran.stdout + ran.stderr)

    def extract(self, output, target, stdin=b""):
        """Runs the self-extractor output in a new folder and returns the
        folder's files."""
        destination = tempfile.mkdtemp(dir=self.work)
        os.chmod(output, 0o755)
        ran = self.targets[target].run(output, stdin=stdin, cwd=destination)
        self.assertEqual(ran.status, 0, ran.stdout + ran.stderr)
        return files_below(destination)

    def test_help_lists_built_in_targets(self):
        result = self.mksfx("--help")
        self.assertEqual(result.status, 0, result.stderr)
        text = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
        for target in self.targets:
            self.assertIn(target, text)
        self.assertIn("Default target: win32.", text)
        asked = self.mksfx("/?")  # as Windows programs are asked
        self.assertEqual((asked.status, asked.stdout), (0, result.stdout))

    def test_what_a_windows_publisher_types(self):
        """No --target: a 32-bit Windows program (it runs on every Windows);
        the installer's folder and program typed with backslashes are
        written with '/'; the program's arguments keep theirs."""
        source = self.make_source(FILES)
        output = os.path.join(self.work, "setup.exe")
        made = self.mksfx("-q", "--dest", "Program Data\\MyApp", "--run", "'pkg\\sub\\inner.bin' /dir=C:\\x",
                          "-o", windows_path(output), windows_path(source))
        self.assertEqual((made.status, made.stderr), (0, b""))
        head = Path(output).read_bytes()[:4096]
        pe = struct.unpack_from("<I", head, 0x3C)[0]
        self.assertEqual((head[pe:pe + 4], struct.unpack_from("<H", head, pe + 24)[0]), (b"PE\0\0", 0x10B))
        with zipfile.ZipFile(output) as archive:
            self.assertEqual(archive.comment, b"sfxstub installer 1\ndest=Program Data/MyApp\n"
                                              b"run=pkg/sub/inner.bin\narg=/dir=C:\\x\nend\n")

    def test_link_back_to_a_packed_folder_ends_the_walk(self):
        # Windows shows mksfx.exe a link as what it leads to: a link to a
        # folder above it would be walked for ever.
        source = self.make_source(FILES)
        os.symlink("..", os.path.join(source, "sub", "loop"))
        output = os.path.join(self.work, "loop.exe")
        made = self.mksfx("-q", "-o", windows_path(output), windows_path(source))
        self.assertEqual(made.status, 0, made.stderr)
        self.assertIn(b"loop: it leads back to a folder that holds it", made.stderr)
        with zipfile.ZipFile(output) as archive:
            self.assertEqual(sorted(name for name in archive.namelist() if not name.endswith("/")),
                             sorted("pkg/" + name for name in FILES))

    def test_windows_attributes_are_stored(self):
        """Hidden, system and read-only files keep their bits in the low byte
        of the external attributes, as Windows zip tools write them; a fixed
        build (--mtime) drops the read-only and archive bits with the modes."""
        source = self.make_source(dict(FILES, **{"hidden.txt": b"h", "system.txt": b"s", "read-only.txt": b"r"}))
        for name, flag in (("hidden.txt", "+h"), ("system.txt", "+s"), ("read-only.txt", "+r")):
            self.windows_command("attrib", flag, windows_path(os.path.join(source, name)))
        self.addCleanup(os.chmod, os.path.join(source, "read-only.txt"), 0o644)
        for label, options, read_only in (("as found", [], 0x01), ("fixed", ["--mtime", "1700000000"], 0)):
            with self.subTest(label):
                output = os.path.join(self.work, label + ".exe")
                made = self.mksfx("-q", *options, "-o", windows_path(output), windows_path(source))
                self.assertEqual(made.status, 0, made.stderr)
                with zipfile.ZipFile(output) as archive:
                    # The archive bit says only whether a backup has seen a file.
                    stored = {info.filename: info.external_attr & 0xDF for info in archive.infolist()}
                expected = {"pkg/hidden.txt": 0x02, "pkg/system.txt": 0x04, "pkg/read-only.txt": read_only,
                            "pkg/": 0x10, "pkg/top.txt": 0}
                self.assertEqual({name: stored[name] for name in expected}, expected)

    def make_source(self, files, folder="pkg"):
        source = os.path.join(self.work, folder)
        for name, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            Path(source, name).write_bytes(data)
        return source

    def test_name_outside_the_ansi_code_page(self):
        # The folder and the output are named outside ASCII on the command
        # line too, which reaches mksfx.exe only through the wide one.
        folder = "p\u00e4ck \u00e9t\u00e9"
        source = self.make_source(UTF8_FILES, folder)
        expected = {folder + "/" + name: data for name, data in UTF8_FILES.items()}
        for target in self.targets:
            with self.subTest(target=target):
                output = os.path.join(self.work, "\u00e9crit %s \u65e5.exe" % target)
                made = self.mksfx("-q", "--target", target, "-o", windows_path(output), windows_path(source))
                self.assertEqual(made.status, 0, made.stderr)
                with zipfile.ZipFile(output) as archive:
                    infos = archive.infolist()
                # zipfile reads a name as UTF-8 only when its flag says so.
                self.assertEqual(sorted(info.filename for info in infos if not info.is_dir()), sorted(expected))
                self.assertIn(folder + "/\u00fcber/", [info.filename for info in infos])
                for info in infos:
                    self.assertTrue(info.flag_bits & UTF8_NAME_FLAG, info.filename)
                self.assertEqual(self.extract(output, target), expected)

    def test_stored_modes_leave_others_without_write(self):
        # Windows reports 0666 files and 0777 folders; a Linux stub would
        # make them writable by everyone. A read-only file stays read-only,
        # and a program (by its name's ending, as Windows tells) executable.
        files = dict(FILES, **{"read-only.txt": b"locked\n", "tool.exe": b"MZ"})
        source = self.make_source(files)
        os.chmod(os.path.join(source, "read-only.txt"), 0o444)
        self.addCleanup(os.chmod, os.path.join(source, "read-only.txt"), 0o644)
        output = os.path.join(self.work, "modes")
        made = self.mksfx("-q", "--target", "linux", "-o", windows_path(output), windows_path(source))
        self.assertEqual(made.status, 0, made.stderr)
        expected = {"pkg/": stat.S_IFDIR | 0o755, "pkg/sub/": stat.S_IFDIR | 0o755,
                    "pkg/sub/deeper/": stat.S_IFDIR | 0o755, "pkg/read-only.txt": stat.S_IFREG | 0o444}
        expected.update({"pkg/" + name: stat.S_IFREG | 0o644 for name in FILES})
        expected["pkg/tool.exe"] = stat.S_IFREG | 0o755
        with zipfile.ZipFile(output) as archive:
            stored = {info.filename: info.external_attr >> 16 for info in archive.infolist()}
        self.assertEqual({name: oct(mode) for name, mode in stored.items()},
                         {name: oct(mode) for name, mode in expected.items()})

    def test_member_beyond_memory_spills_to_the_temporary_folder(self):
        # Past 64 MiB a member's data waits in a temporary file, made where
        # Windows keeps them and gone afterwards.
        big = os.urandom(65 << 20)
        source = self.make_source({"big.bin": big})
        temp = os.path.join(self.targets["win64"].prefix, "drive_c", "users", os.environ.get("USER", "root"), "Temp")
        before = set(os.listdir(temp)) if os.path.isdir(temp) else set()
        output = os.path.join(self.work, "big.exe")
        made = self.mksfx("-q1", "--target", "win64", "-o", windows_path(output), windows_path(source))
        self.assertEqual(made.status, 0, made.stderr)
        self.assertEqual(set(os.listdir(temp)) - before, set())
        with zipfile.ZipFile(output) as archive:
            self.assertEqual(archive.read("pkg/big.bin"), big)

    def test_pack_on_windows_and_extract(self):
        source = self.make_source(FILES)
        expected = {"pkg/" + name: data for name, data in FILES.items()}
        for target in self.targets:
            for password in (None, PASSWORD):
                with self.subTest(target=target, password=bool(password)):
                    output = os.path.join(self.work, "out-%s-%d.exe" % (target, bool(password)))
                    options = ["-q", "--target", target, "-o", windows_path(output)]
                    if password:
                        options += ["--password", password]
                    # The folder given Windows style, backslashes and all.
                    made = self.mksfx(*options, windows_path(source))
                    self.assertEqual(made.status, 0, made.stderr)
                    stdin = (password + "\n").encode() * len(FILES) if password else b""
                    self.assertEqual(self.extract(output, target, stdin), expected)

