"""Member names on Windows: UTF-8 names (flag bit 11), DOS code page names,
Info-ZIP's Unicode path field, long paths, device names and names that would
be rooted; and on Linux, names made byte for byte.
"""
import io
import os
import struct
import subprocess
import zipfile
import zlib

import pexpect
import pytest
from file_trees import names_below
from stub_runner import wine_binary, wine_env
from targets import WINDOWS_TARGETS
from zip_writer import Member, build, extra_block

OUTSIDE = "would be written outside the current directory. This file will not be unzipped."
DEVICE = "names a Windows device. This file will not be unzipped."
UTF8 = 0x0800


def raw(*members):
    return lambda work: build(list(members))


def python_zip(*names):
    def make(work):
        data = io.BytesIO()
        with zipfile.ZipFile(data, "w") as archive:
            for name in names:
                archive.writestr(name, name.encode() + b"\n")
        return data.getvalue()
    return make


def tool_zip(command, files):
    """An archive that a tool (Info-ZIP zip, 7-Zip) makes of files, named by
    their bytes on this file system."""
    def make(work):
        source = os.path.join(work, "source")
        for name in files:
            path = os.path.join(os.fsencode(source), name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(b"made by a tool\n")
        target = os.path.join(work, "tool.zip")
        subprocess.run(command + [target, "."], cwd=source, check=True, stdout=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)
        with open(target, "rb") as made:
            return made.read()
    return make


def unicode_path(stored, unicode_name, crc_of=None):
    """Info-ZIP's Unicode path field (0x7075) for a member stored as stored."""
    crc = zlib.crc32(stored if crc_of is None else crc_of)
    block = b"\x01" + struct.pack("<I", crc) + unicode_name.encode()
    return extra_block(0x7075, block)


DEEP = "/".join(["d%02d" % level + "x" * 46 for level in range(8)]) + "/deep.txt"  # 8 folders of 49: 401 characters

# name, archive maker, files expected (UTF-8 names on Windows), status, texts expected in the output.
WINDOWS_CASES = [
    ("bit 11 names, Python", python_zip("Grüße/日本.txt", "plain.txt"), ["Grüße/日本.txt", "plain.txt"], 0, []),
    # On a pipe the name is shown as stored; on a console by its characters (below).
    ("DOS code page name", raw(Member(b"caf\x82.txt", b"oem")), ["café.txt"], 0, ["Inflating: caf\x82.txt...done"]),
    ("Info-ZIP zip: bytes not UTF-8 are the DOS code page", tool_zip(["zip", "-q", "-r"], [b"caf\x82.txt"]),
     ["café.txt"], 0, []),
    ("Info-ZIP zip: UTF-8 bytes without bit 11", tool_zip(["zip", "-q", "-r"], ["naïve.txt".encode()]),
     ["na├»ve.txt"], 0, []),
    ("7-Zip", tool_zip(["7za", "a", "-tzip", "-bd"], ["Grüße.txt".encode(), "e/日本.txt".encode()]),
     ["Grüße.txt", "e/日本.txt"], 0, []),
    ("Unicode path field", raw(Member(b"x\x82.txt", b"u", extra=unicode_path(b"x\x82.txt", "ünï.txt"))),
     ["ünï.txt"], 0, []),
    ("Unicode path field of a renamed member", raw(Member(b"x\x82.txt", b"u", extra=unicode_path(
        b"x\x82.txt", "ünï.txt", crc_of=b"old.txt"))), ["xé.txt"], 0, []),
    ("bit 11 name that is not UTF-8", raw(Member(b"bad\xff.txt", b"b", flags=UTF8), Member("after.txt", b"a")),
     ["after.txt"], 1, ["Error: bad\xff.txt is not a valid UTF-8 name. This file will not be unzipped."]),
    ("a tree 401 characters deep", raw(Member(DEEP, b"deep")), [DEEP], 0, []),
    ("backslash as a separator", raw(Member("dir\\sub\\f.txt", b"f"), Member("dir\\", b"")), ["dir/sub/f.txt"], 0,
     []),
    # Names that Windows would read as rooted, UNC or device paths.
    ("slash then backslash", raw(Member("/\\x.txt", b"x")), ["x.txt"], 0, []),
    ("slashes then backslash", raw(Member("//\\y.txt", b"y")), ["y.txt"], 0, []),
    ("rooted on the drive", raw(Member("/\\Users\\Public\\x.bat", b"x")), ["Users/Public/x.bat"], 0, []),
    ("UNC share", raw(Member("/\\\\server\\share\\x.txt", b"x")), ["server/share/x.txt"], 0, []),
    ("long-path prefix", raw(Member("/\\\\?\\C:\\x.txt", b"x")), [], 1, [OUTSIDE]),
    ("device prefix", raw(Member("/\\\\.\\COM1", b"x")), [], 1, [DEVICE]),
] + [
    ("device name %s" % name, raw(Member(name, b"to a device"), Member("after.txt", b"a")), ["after.txt"], 1,
     ["Error: %s %s" % (name, DEVICE)])
    for name in ("NUL", "nul.txt", "d/NUL", "AUX", "COM1", "com9.log", "LPT1", "CON .txt", "Prn.", "CONIN$",
                 "conout$.txt", "COM\u00b9")
] + [
    ("device name folder entry", raw(Member("aux/", b"")), [], 1, [DEVICE]),
    ("no device: longer names", raw(Member("CONSOLE.txt", b"c"), Member("nul0", b"n"), Member("com10", b"c")),
     ["CONSOLE.txt", "nul0", "com10"], 0, []),
]

# Where the self-extractor lies and how it is started: folders named outside
# the ANSI code page (a character outside the BMP too), by its full path, by a
# relative path and by its bare name from its own folder. Each extracts as in
# an ASCII folder.
PLACES = ["plain", "Иван", "日本", "smile \U0001F600"]
STARTS = ("its full path", "a relative path", "its bare name")
PLACED_MEMBERS = [Member("a.txt", b"alpha\n" * 100, method=8), Member("sub/b.txt", b"beta\n")]
PLACED_OUTPUT = "Inflating: a.txt...done\nInflating: sub/b.txt...done\n"

# On Linux names are made byte for byte, whatever the code page.
LINUX_CASES = [
    ("DOS code page name, byte for byte", raw(Member(b"caf\x82.txt", b"oem")), [b"caf\x82.txt"], 0, []),
    ("Unicode path field ignored", raw(Member(b"x\x82.txt", b"u", extra=unicode_path(b"x\x82.txt", "ü.txt"))),
     [b"x\x82.txt"], 0, []),
    ("device names are plain names", raw(Member("NUL", b"n"), Member("d/COM1", b"c")), [b"NUL", b"d/COM1"], 0, []),
    ("backslash is a plain character", raw(Member("dir\\f.txt", b"f")), [b"dir\\f.txt"], 0, []),
]


def write_program(path, target, archive):
    """The target's stub with the archive appended by a plain cat: offsets count from the archive."""
    with open(target.stub, "rb") as stub, open(path, "wb") as image:
        image.write(stub.read() + archive)
    os.chmod(path, 0o755)
    return path


def run_case(case, target, work):
    name, make, expected, status, texts = case
    out = os.path.join(work, "root", "out")
    os.makedirs(out)
    program = write_program(os.path.join(work, "root", "setup.exe"), target, make(work))
    result = target.run(program, stdin=b"", cwd=out, timeout=120)
    output = (result.stdout + result.stderr).decode("utf-8", "replace").replace("\r\n", "\n")
    raw_output = (result.stdout + result.stderr).replace(b"\r\n", b"\n")
    problems = []
    if result.status != status:
        problems.append("status %d, expected %d" % (result.status, status))
    for text in texts:
        if text.encode("latin-1", "replace") not in raw_output and text not in output:
            problems.append("missing %r" % text)
    want = sorted(e if isinstance(e, bytes) else e.encode() for e in expected)
    got = names_below(os.fsencode(out))
    if got != want:
        problems.append("files %r, expected %r" % (got, want))
    strays = names_below(os.path.join(work, "root"), folders=True, skip={"out", "setup.exe"})
    if strays or os.path.exists("/Users/Public/x.bat"):
        problems.append("written outside the folder: %r" % strays)
    return problems, output


def placed_problems(target, launcher, work, folder, start):
    """Runs a self-extractor that lies in work/where/FOLDER, started as start
    says, and returns what differs from a run in an ASCII folder."""
    where = os.path.join(work, "where")
    home = os.path.join(where, folder)
    os.makedirs(home)
    program = write_program(os.path.join(home, "setup.exe"), target, build(PLACED_MEMBERS))
    out = home if start == "its bare name" else os.path.join(where, "out")
    os.makedirs(out, exist_ok=True)
    if start == "its full path":
        result = target.run(program, stdin=b"", cwd=out, timeout=120)
    else:
        line = "setup.exe" if start == "its bare name" else "..\\%s\\setup.exe" % folder
        result = target.run(launcher, stdin=b"", cwd=out, timeout=120, env=dict(os.environ, LAUNCH=line))
    problems = []
    stdout, stderr = (text.decode("utf-8", "replace").replace("\r\n", "\n") for text in (result.stdout, result.stderr))
    if (result.status, stdout, stderr) != (0, PLACED_OUTPUT, ""):
        problems.append("status %d, %r %r" % (result.status, stdout[:300], stderr[:300]))
    got = names_below(os.fsencode(out), skip={b"setup.exe"})
    if got != [b"a.txt", b"sub/b.txt"]:
        problems.append("files %r" % got)
    return problems


def console_shows(target, work):
    """What a run on a console (wine takes a pseudo-terminal for one) shows."""
    os.makedirs(os.path.join(work, "out"))
    members = [Member(b"caf\x82.txt", b"oem"), Member("日本.txt", b"u", flags=UTF8)]
    program = write_program(os.path.join(work, "setup.exe"), target, build(members))
    console = pexpect.spawn(wine_binary(target.arch), [program], cwd=os.path.join(work, "out"), timeout=60,
                            env=wine_env(target.prefix))
    console.logfile_read = shown = io.BytesIO()
    if console.expect([b"Press Enter", pexpect.EOF, pexpect.TIMEOUT]) == 0:
        console.send(b"\r")
        console.expect([pexpect.EOF, pexpect.TIMEOUT])
    console.close(force=True)
    return shown.getvalue().decode("utf-8", "replace")


windows_only = pytest.mark.skipif("config.option.target not in %r" % (WINDOWS_TARGETS,), reason="names on Windows")


def pytest_generate_tests(metafunc):
    if "case" in metafunc.fixturenames:
        cases = WINDOWS_CASES if metafunc.config.option.target in WINDOWS_TARGETS else LINUX_CASES
        metafunc.parametrize("case", cases, ids=[case[0] for case in cases])


def test_names(case, target, folder):
    problems, output = run_case(case, target, folder)
    assert not problems, "%s\n  output %r" % ("; ".join(problems), output[:400])


@pytest.fixture(scope="module")
def launcher(target, work):
    """launch_line.c, built for the target: it starts the command line in LAUNCH."""
    program = os.path.join(work, "launch.exe")
    compiler = ("i686" if target.arch == "win32" else "x86_64") + "-w64-mingw32-gcc"
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "launch_line.c")
    subprocess.run([compiler, "-municode", "-O1", "-o", program, source], check=True)
    return program


@windows_only
@pytest.mark.parametrize("start", STARTS)
@pytest.mark.parametrize("place", PLACES)
def test_placed(place, start, target, launcher, folder):
    problems = placed_problems(target, launcher, folder, place, start)
    assert not problems, "; ".join(problems)


@windows_only
def test_names_on_a_console(target, folder):
    """The DOS code page name comes out as UTF-8 text, as its characters."""
    shown = console_shows(target, folder)
    assert "café.txt" in shown and "日本.txt" in shown, "console shows %r" % shown[:300]
