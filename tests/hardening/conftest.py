"""What the hardening suites share: the stub's bytes, a scratch tree per test
in which a self-extractor runs, the verdict every run must earn (it ends in
time, with status 0 or 1, never a signal, and writes nothing outside its
extraction folder) and the outcomes table that --table FILE asks for."""
import os
import shutil
import subprocess

import pytest
from file_trees import names_below, walk_below
from stub_runner import run_fresh_program

# The extraction folder lies DEPTH levels below the scratch root, so a name
# that climbs up to DEPTH levels still lands inside the root, where it shows.
DEPTH = 4
# Any invalid read or write, or use of an undefined value, ends with status 99.
VALGRIND = ("valgrind", "-q", "--error-exitcode=99", "--exit-on-first-error=yes")


class Scratch:
    """The self-extractor at the top of root, the extraction folder a few
    levels down, and drive A, an empty folder of its own."""

    def __init__(self, root, target, wrapper=()):
        self.root, self.target, self.wrapper = root, target, wrapper
        levels = ["up%d" % level for level in range(DEPTH)]
        self.chain = [os.path.join(root, *levels[:depth]) for depth in range(1, DEPTH + 1)]
        self.work = self.chain[-1]
        self.drive = os.path.join(root, "drive")
        self.program = os.path.join(root, "setup.exe")
        os.makedirs(self.work, exist_ok=True)
        os.makedirs(self.drive, exist_ok=True)
        self.inputs = set()

    def clear(self):
        """Empties the extraction folder and drive A for the next run."""
        for folder in (self.work, self.drive):
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                if os.path.isdir(path) and not os.path.islink(path):
                    remove_tree(path)
                else:
                    os.remove(path)

    def run(self, image, stdin=b"", timeout=20, prepare=None, wrapper=None):
        """Calls prepare(extraction folder) when given, writes image as the
        program and runs it there, under wrapper (a command and its options;
        default: valgrind's when asked for). Returns (status, stdout, stderr),
        status None on a timeout."""
        self.clear()
        if prepare is not None:
            prepare(self.work)
        self.inputs = {self.program} | {os.path.join(self.drive, name) for name in os.listdir(self.drive)}
        with open(self.program, "wb") as out:
            out.write(image)
        os.chmod(self.program, 0o755)
        env = dict(os.environ, SFX_DRIVE_A=self.drive)
        wrapper = self.wrapper if wrapper is None else wrapper
        try:
            if not wrapper:
                result = self.target.run(self.program, stdin=stdin, cwd=self.work, timeout=timeout, env=env)
                return result.status, result.stdout, result.stderr
            done = run_fresh_program([*wrapper, self.program], input=stdin, cwd=self.work, env=env,
                                     capture_output=True, timeout=timeout, check=False)
            return done.returncode, done.stdout, done.stderr
        except subprocess.TimeoutExpired as expired:
            return None, expired.stdout or b"", expired.stderr or b""

    def outside_files(self):
        """Whatever is neither the program, drive A with what the case put
        there, nor the chain of folders down to the extraction folder and
        what lies in it."""
        known = self.inputs | {self.drive, *self.chain}
        inside = os.path.relpath(self.work, self.root) + os.sep
        return [name for name, path, _ in walk_below(self.root) if path not in known and not name.startswith(inside)]

    def extracted(self):
        """Relative paths of the files below the extraction folder."""
        return names_below(self.work)

    def complaints(self, status):
        """What every run must satisfy, as a list of problems."""
        complaints = []
        if status is None:
            complaints.append("no end within the time limit")
        elif status not in (0, 1):
            complaints.append("exit status %d" % status)
        outside = self.outside_files()
        if outside:
            complaints.append("wrote outside the extraction folder: %s" % outside)
        return complaints


@pytest.fixture(scope="session")
def stub(target):
    with open(target.stub, "rb") as source:
        return source.read()


def remove_tree(root):
    for below, _, _ in os.walk(root):  # cases leave read-only folders behind
        os.chmod(below, 0o700)
    shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def scratch(folder, target, options):
    """A scratch tree of the test's own."""
    yield Scratch(folder, target, VALGRIND if options.valgrind else ())
    remove_tree(folder)


@pytest.fixture(scope="module")
def shared_scratch(work, target, options):
    """One scratch tree for a module's many short runs (one per xdist worker)."""
    root = os.path.join(work, "scratch-%d" % os.getpid())
    remove_tree(root)
    yield Scratch(root, target, VALGRIND if options.valgrind else ())
    remove_tree(root)


@pytest.fixture(scope="session")
def table(options):
    """note(name, status, stdout, stderr, problems) adds a row to the Markdown
    table of outcomes written to --table FILE (the tables of
    docs/reliability.md): the case, its status and the last line it showed."""
    rows = ["| case | status | last line shown | verdict |", "|---|---|---|---|"]

    def note(name, status, out, err, problems):
        lines = [line for line in (err or out).decode("utf-8", "replace").replace("\r", "").split("\n") if line.strip()]
        shown = (lines[-1] if lines else "(nothing)").replace("|", "\\|")
        rows.append("| %s | %s | `%s` | %s |" % (name, status, shown, "FAIL" if problems else "pass"))
    yield note
    if options.table:
        with open(options.table, "w") as out:
            out.write("\n".join(rows) + "\n")
