"""Runs a self-extractor made from a stub and an archive in a scratch tree,
and checks what every run must satisfy: it ends in time, with status 0 or 1
(never a signal), and writes nothing outside its extraction folder."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from file_trees import names_below  # noqa: E402
from stub_runner import run_fresh_program  # noqa: E402

# The extraction folder lies DEPTH levels below the scratch root, so a name
# that climbs up to DEPTH levels still lands inside the root, where it shows.
DEPTH = 4


class Scratch:
    """A scratch root with the self-extractor at its top and the extraction
    folder a few levels down; drive A is an empty folder of its own."""

    def __init__(self, wine_prefix=None):
        self.root = tempfile.mkdtemp(prefix="sfxhard-")
        self.work = os.path.join(self.root, *["up%d" % level for level in range(DEPTH)])
        self.drive = os.path.join(self.root, "drive")
        self.program = os.path.join(self.root, "setup.exe")
        self.wine_prefix = wine_prefix

    def close(self):
        for folder, _, _ in os.walk(self.root):
            os.chmod(folder, 0o700)
        shutil.rmtree(self.root, ignore_errors=True)

    def run(self, image, stdin=b"", timeout=20, wine=None, prepare=None, wrapper=()):
        """Writes image as the program, empties the extraction folder, calls
        prepare(extraction folder) when given and runs the program there,
        under wrapper (a command and its options) or wine when given.
        Returns (status, stdout, stderr), status None on a timeout."""
        for folder in (self.work, self.drive):
            if os.path.isdir(folder):
                for name in os.listdir(folder):
                    path = os.path.join(folder, name)
                    if os.path.islink(path):  # never touch what a link points to
                        os.remove(path)
                        continue
                    os.chmod(path, 0o700)
                    if os.path.isdir(path):
                        for below, _, _ in os.walk(path):
                            os.chmod(below, 0o700)
                        shutil.rmtree(path)
                    else:
                        os.remove(path)
        os.makedirs(self.work, exist_ok=True)
        os.makedirs(self.drive, exist_ok=True)
        if prepare is not None:
            prepare(self.work)
        self.drive_inputs = {os.path.join(self.drive, name) for name in os.listdir(self.drive)}
        with open(self.program, "wb") as out:
            out.write(image)
        os.chmod(self.program, 0o755)
        env = dict(os.environ, SFX_DRIVE_A=self.drive)
        command = [*wrapper, self.program]
        if wine:
            command = [wine, self.program]
            env.update(WINEDEBUG="-all", WINEPREFIX=self.wine_prefix)
        try:
            done = run_fresh_program(command, input=stdin, cwd=self.work, env=env, capture_output=True,
                                     timeout=timeout, check=False)
            return done.returncode, done.stdout, done.stderr
        except subprocess.TimeoutExpired as expired:
            return None, expired.stdout or b"", expired.stderr or b""

    def outside_files(self):
        """Everything that is neither the program, drive A with what the case
        put there, nor the
        chain of folders down to the extraction folder (whose content is
        not looked at)."""
        allowed = {self.drive, self.work}
        folder = self.work
        while folder != self.root:
            allowed.add(folder)
            folder = os.path.dirname(folder)
        found = []
        for folder, folders, files in os.walk(self.root):
            if folder == self.work:
                folders[:] = []
                continue
            inputs = {self.program} | getattr(self, "drive_inputs", set())
            found += [os.path.join(folder, name) for name in files if os.path.join(folder, name) not in inputs]
            found += [os.path.join(folder, name) for name in folders if os.path.join(folder, name) not in allowed]
            folders[:] = [name for name in folders if os.path.join(folder, name) in allowed]
        return [os.path.relpath(path, self.root) for path in found]

    def extracted(self):
        """Relative paths of the files below the extraction folder."""
        return names_below(self.work)


def check_run(scratch, status, what):
    """The common verdict of one run: a list of complaints (empty when sound)."""
    complaints = []
    if status is None:
        complaints.append("%s: no end within the time limit" % what)
    elif status not in (0, 1):
        complaints.append("%s: exit status %d" % (what, status))
    outside = scratch.outside_files()
    if outside:
        complaints.append("%s: wrote outside the extraction folder: %s" % (what, outside))
    return complaints
