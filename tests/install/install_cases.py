"""What `cmake --install` and the Debian package of a build hold, and that
they work where they land: the installed mksfx makes a self-extractor that
runs, the installed stubs work with cat and zip -A, and the man pages pass
mandoc's lint (groff -ww where mandoc is missing).
"""
import os
import shutil
import subprocess
import unittest
import zipfile
from pathlib import Path

import pytest
from file_trees import files_below
from stub_runner import qemu_binary, qemu_command, run_fresh_program

MAN_PAGES = ["mksfx.1", "sfxstub.1"]


def run(command, **kwargs):
    completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300,
                               **kwargs)
    if completed.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(command), completed.returncode, completed.stdout,
                                                        completed.stderr))
    return completed


def expected_stubs(built):
    """The stubs installed: the static Linux one and one a --built target."""
    return sorted(["sfxstub-linux"] + ["sfxstub-%s%s" % (name, ".exe" if "win" in name else "") for name in built])


def make_tree(root):
    files = {"app/readme.txt": b"read me\n" * 100, "app/bin/run.sh": b"#!/bin/sh\necho run\n",
             "app/data/table.csv": b"".join(b"%d,%d\n" % (i, i * i) for i in range(3000)), "app/empty": b""}
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        Path(path).write_bytes(data)
    os.chmod(os.path.join(root, "app/bin/run.sh"), 0o755)
    return {name.split("/", 1)[1]: data for name, data in files.items()}


class Scratch(unittest.TestCase):
    @pytest.fixture(autouse=True)
    def scratch(self, options, folder):
        self.options, self.stubs, self.work = options, expected_stubs(options.built), folder
        self.files = make_tree(os.path.join(folder, "source"))

    def fresh_folder(self, name):
        folder = os.path.join(self.work, name)
        os.makedirs(folder)
        return folder

    def assert_extracts(self, command, label):
        """Runs command in a fresh folder; it must extract app/ as made."""
        target = self.fresh_folder("out-" + label)
        result = run_fresh_program(command, cwd=target, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(files_below(os.path.join(target, "app")), self.files)
        self.assertTrue(os.access(os.path.join(target, "app/bin/run.sh"), os.X_OK))

    def check_installed_tree(self, root):
        """root holds bin/mksfx, lib/sfxstub/, share/man/man1/ and share/doc/sfxstub/ as installed."""
        self.assertTrue(os.access(os.path.join(root, "bin", "mksfx"), os.X_OK))
        stubs = os.path.join(root, "lib", "sfxstub")
        self.assertEqual(sorted(os.listdir(stubs)), self.stubs)
        for stub in self.stubs:
            self.assertTrue(os.access(os.path.join(stubs, stub), os.X_OK), stub)
        man = os.path.join(root, "share", "man", "man1")
        self.assertEqual(sorted(os.listdir(man)), MAN_PAGES)
        for page in MAN_PAGES:
            with self.subTest(page):
                self.assert_man_page_clean(os.path.join(man, page))
        doc = os.path.join(root, "share", "doc", "sfxstub")
        for page in ("README.md", "docs/installer.md", "docs/mksfx.md"):
            self.assertTrue(os.path.isfile(os.path.join(doc, page)), page)

        mksfx = os.path.join(root, "bin", "mksfx")
        help_text = run([mksfx, "--help"]).stdout
        self.assertIn("Built-in targets: " + ", ".join(s[8:].replace(".exe", "") for s in self.stubs) + ".",
                      help_text)
        setup = os.path.join(self.work, "setup")
        run([mksfx, "-q", "-o", setup, os.path.join(self.work, "source", "app")])
        self.assert_extracts([setup], "mksfx")

        # The stubs as files: appended to an archive by hand.
        archive = os.path.join(self.work, "app.zip")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
            for name, data in sorted(self.files.items()):
                info = zipfile.ZipInfo("app/" + name, (2024, 1, 2, 3, 4, 6))
                info.external_attr = (0o755 if name.endswith(".sh") else 0o644) << 16
                out.writestr(info, data, zipfile.ZIP_DEFLATED)
        for stub, runner in (("sfxstub-linux", lambda p: [p]), ("sfxstub-linux-arm64", qemu_command)):
            if stub not in self.stubs or (runner is qemu_command and qemu_binary() is None):
                continue
            program = os.path.join(self.work, stub + ".run")
            with open(program, "wb") as out:
                for part in (os.path.join(stubs, stub), archive):
                    with open(part, "rb") as f:
                        out.write(f.read())
            os.chmod(program, 0o755)
            run(["zip", "-qA", program])
            self.assert_extracts(runner(program), stub)

    def assert_man_page_clean(self, page):
        if shutil.which("mandoc"):
            # Warnings and worse; the style notes depend on the machine's man database.
            result = subprocess.run(["mandoc", "-T", "lint", "-W", "warning", page], capture_output=True, text=True)
        else:
            result = subprocess.run(["groff", "-ww", "-z", "-mandoc", page], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""), page)


class InstallTest(Scratch):
    def test_install_prefix(self):
        prefix = os.path.join(self.work, "prefix")
        run([self.options.cmake, "--install", self.options.build, "--prefix", prefix])
        self.check_installed_tree(prefix)


class DebianPackageTest(Scratch):
    def test_package_unpacked_with_dpkg(self):
        packages = self.fresh_folder("packages")
        config = os.path.join(self.options.build, "CPackConfig.cmake")
        run([self.options.cpack, "-G", "DEB", "-B", packages, "--config", config])
        debs = [name for name in os.listdir(packages) if name.endswith(".deb")]
        self.assertEqual(len(debs), 1, debs)
        deb = os.path.join(packages, debs[0])
        fields = dict(line.split(": ", 1) for line in run(["dpkg-deb", "-f", deb]).stdout.splitlines()
                      if ": " in line and not line.startswith(" "))
        self.assertEqual(fields["Package"], "sfxstub")
        self.assertEqual(fields["Architecture"], run(["dpkg", "--print-architecture"]).stdout.strip())
        self.assertIn("libc6", fields.get("Depends", ""))
        root = os.path.join(self.work, "root")
        run(["dpkg", "-x", deb, root])
        self.check_installed_tree(os.path.join(root, "usr"))

