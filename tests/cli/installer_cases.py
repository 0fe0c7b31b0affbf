"""Self-extractors with installer settings, made by mksfx and run natively or
under wine: where the tree lands (--dest, --temp), the program run with the
right arguments and folder and its exit status passed on (--run), nothing run
after a failed extraction, the temporary folder removed, one password for all
members, silent runs and titles, refused settings, a plain archive's output
unchanged, and (under wine) a signed self-extractor.
"""
import io
import os
import random
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import types
import zipfile

import pytest
from file_trees import names_below
from stub_runner import Result, windows_path
from targets import WINDOWS_TARGETS
from zip_writer import with_comment

os.environ["TZ"] = "UTC"
LINUX_PROBE = """#!/bin/sh
{ printf 'cwd=[%s]\\n' "$(pwd -P)"; printf 'mode=%s\\n' "$(stat -c %a .)"
  for a in "$@"; do printf 'arg=[%s]\\n' "$a"; done
  printf 'start=[%s]\\nself=[%s]\\n' "$SFXSTUB_START_FOLDER" "$SFXSTUB_PATH"
  for fd in /proc/$$/fd/*; do [ "$(readlink "$fd")" = "$SETUP" ] && echo archive=open; done; } > "$REPORT.new"
mv "$REPORT.new" "$REPORT"
for a in "$@"; do case $a in sleep=*) exec sleep "${a#sleep=}";; esac; done
for a in "$@"; do case $a in exit=*) exit "${a#exit=}";; esac; done
exit 0
"""
DATA = random.Random(7).randbytes(300)  # incompressible: stored, so a byte of it can be spoiled
PW = "pw"
MALFORMED = "Error: the installer settings in the archive comment are malformed"
NEWER = "Error: the installer settings in the archive comment are of a newer version than this stub reads."
NOT_RUN = "is not run."
CRC = "Error: CRC values do not match. File may be corrupted."
# A batch program that reports its folder and its words, each as cmd.exe
# hands it over; for expands %* late, so & and ^ in a word stay text.
BATCH_PROBE = '@echo off\r\necho cwd=[%CD%]> "%REPORT%"\r\nfor %%a in (%*) do echo arg=[%%~a]>> "%REPORT%"\r\n'
UNSAFE_FOR_BATCH = "cannot be passed safely to a batch program; nothing is run."
HARMLESS_WORDS = ["plain", "two words", "a,b", "x=y", "semi;colon", "dir\\", "", "caret^", "(paren)", "bang!"]
PLAIN_OUTPUT = "Inflating: app/data.bin...done\nInflating: app/docs/readme.txt...done\nInflating: app/PROBE...done\n"


class Case:
    def __init__(self, name, options=(), args=(), status=0, tree=".", ran=None, folder=".", stdin=b"",
                 stdout=None, texts=(), absent=(), prompts=None, comment=None, spoil=False, only=None, env=None,
                 signal=None, batch=False, line=None, cut=False, without=None, small_disk=False, extra=None):
        self.name, self.options, self.args, self.status = name, list(options), list(args), status
        self.tree = tree  # where app/ must land below the run folder; None: nowhere
        self.ran = ran  # the arguments the program must get; None: it must not run
        self.folder = folder  # its current folder: a folder below the run folder, or "temp"
        self.stdin, self.stdout, self.texts, self.absent = stdin, stdout, list(texts), list(absent)
        self.prompts, self.comment, self.spoil, self.only, self.env = prompts, comment, spoil, only, env or {}
        self.signal = signal  # (signal, "group" or "stub"): sent while the program runs
        self.batch = batch  # app/probe.bat is packed too
        self.line = line  # Windows: the self-extractor's command line after its path, exactly
        self.cut = cut  # the self-extractor cut to half its length, as a broken download
        self.without = without  # a member taken out by zip -d after mksfx
        self.small_disk = small_disk  # the run folder a file system of 1 MiB (as root; else skipped)
        self.extra = extra  # app/more: {name: bytes} besides the usual members


CASES = [
    Case("no settings: output as before", stdout=PLAIN_OUTPUT),
    Case("--dest, two levels", ["--dest", "My App/sub"], tree="My App/sub"),
    Case("--dest and --run, maker's then user's words, status passed on",
         ["--dest", "MyApp", "--run", "app/PROBE first 'two words'"], ["u1", "u 2", "exit=5"], status=5,
         tree="MyApp", ran=["first", "two words", "u1", "u 2", "exit=5"], folder="MyApp"),
    Case("--run in the current folder, words quoted as given",
         ["--run", "app/PROBE 'say \"hi\"' 'dir\\' '' \"it's\""], ran=['say "hi"', "dir\\", "", "it's"]),
    Case("--temp and --run: private folder, removed", ["--temp", "--run", "app/PROBE exit=3"], status=3, tree=None,
         ran=["exit=3"], folder="temp"),
    Case("--dest named outside the ANSI code page", ["--dest", "Иван/日本 \U0001F600", "--run", "app/PROBE"],
         tree="Иван/日本 \U0001F600", ran=[], folder="Иван/日本 \U0001F600"),
    Case("--temp under a %TEMP% named outside the ANSI code page", ["--temp", "--run", "app/PROBE"], tree=None,
         ran=[], folder="temp", only="windows", line="", env={"LAUNCH_TEMP": "Иван"}),
    Case("--temp beside the run folder when TMPDIR is unusable", ["--temp", "--run", "app/PROBE"], tree=None,
         ran=[], folder="fallback", only="linux", env={"TMPDIR": "/nonexistent/tmp"}),
    *[Case("--temp, %s to the %s while the program runs: folder removed" % (number.name, target),
           ["--temp", "--run", "app/PROBE sleep=60"], status=-number, tree=None, ran=["sleep=60"], folder="temp",
           only="linux", signal=(number, target))
      for number in (signal.SIGTERM, signal.SIGHUP) for target in ("group", "stub")],
    # cmd.exe reads a batch program's command line again: every word reaches
    # it as it was given, or the run is refused.
    Case("batch program gets the words as given", ["--run", "app/probe.bat first"], HARMLESS_WORDS,
         ran=["first"] + HARMLESS_WORDS, only="windows", batch=True),
    Case("batch program gets a&echo as a word", ["--run", "app/probe.bat"], ["a&echo"], ran=["a&echo"],
         only="windows", batch=True),
    Case("batch program not run with %PATH%", ["--run", "app/probe.bat"], ["%PATH%"], status=1,
         texts=["%PATH% " + UNSAFE_FOR_BATCH], only="windows", batch=True),
    Case("batch program not run with a quote", ["--run", "app/probe.bat 'x\" & echo INJECTED> pwned.txt & \"'"],
         status=1, texts=[UNSAFE_FOR_BATCH], only="windows", batch=True),
    # The words the user typed reach the program as Windows programs read them.
    *[Case("command line %s" % line, ["--run", "app/PROBE"], ran=words, only="windows", line=line)
      for line, words in (('"say \\"hi\\""', ['say "hi"']),
                          ('"q\\"uote" "" "end\\\\" x\\\\\\"y "a b"', ['q"uote', "", "end\\", 'x\\"y', "a b"]),
                          ('a\\\\b \\\\\\\\"c d" \\x', ["a\\\\b", "\\\\c d", "\\x"]))],
    Case("batch program not run with a quote from the command line", ["--run", "app/probe.bat"],
         ['x" & echo INJECTED> pwned.txt & "'], status=1, texts=[UNSAFE_FOR_BATCH], only="windows", batch=True),
    Case("CRC failure: --temp program not run, folder removed", ["--temp", "--run", "app/PROBE"], status=1,
         tree=None, spoil=True, texts=[CRC, NOT_RUN]),
    Case("CRC failure: --dest program not run", ["--dest", "d", "--run", "app/PROBE"], status=1, tree="d",
         spoil=True, texts=[CRC, NOT_RUN]),
    Case("--silent with --title", ["--silent", "--title", "Installing Ünï 1.0", "--dest", "d"], tree="d",
         stdout="Installing Ünï 1.0\n"),
    Case("--title alone", ["--title", "Installing"], stdout="Installing\n" + PLAIN_OUTPUT),
    Case("--password asks once", ["--password", PW, "--run", "app/PROBE"], stdin=b"pw\n", ran=[], prompts=1),
    Case("--password, wrong: program not run", ["--password", PW, "--run", "app/PROBE"], stdin=b"bad\n",
         status=1, tree=None, texts=["Sorry, you did not enter a valid password.", NOT_RUN]),
    Case("--one-password, members under two passwords", ["--one-password"], stdin=b"one\ntwo\n", prompts=2,
         comment="two passwords"),
    Case("malformed settings refused before anything is written", comment="sfxstub installer 1\nbogus\nend\n",
         status=1, tree=None, texts=[MALFORMED]),
    Case("settings without an end line", comment="sfxstub installer 1\nsilent\n", status=1, tree=None,
         texts=[MALFORMED]),
    Case("newer settings version refused", comment="sfxstub installer 2\nsilent\nend\n", status=1, tree=None,
         texts=[NEWER]),
    Case("program leading outside refused", comment="sfxstub installer 1\nrun=../x\nend\n", status=1,
         tree=None, texts=[MALFORMED]),
    Case("dest= with backslashes: every level made", comment="sfxstub installer 1\ndest=Two\\Levels\nend\n",
         tree="Two/Levels", only="windows"),
    Case("a program that is no program for Windows, in words", comment="sfxstub installer 1\nrun=app/data.bin\nend\n",
         status=1, texts=["Error: cannot run app/data.bin: not a program for this Windows (Windows error 193)"],
         only="windows"),
    # mksfx records the self-extractor's length: a file cut short says so,
    # a file that zip -d made shorter has its end record and extracts.
    Case("cut short: said so, no disk asked for", status=1, tree=None, cut=True,
         texts=["Error: this self-extractor is incomplete: it holds", "Download or copy it again."],
         absent=["Please insert"]),
    Case("made shorter by zip -d: extracts", without="app/docs/readme.txt",
         stdout="Inflating: app/data.bin...done\nInflating: app/PROBE...done\n"),
    # The free space is checked before anything is written; a disk that
    # fills all the same stops the run with one message.
    Case("disk too small: nothing written", status=1, tree=None, small_disk=True,
         extra={"big.bin": random.Random(8).randbytes(2 << 20)}, absent=["Inflating"],
         texts=["MB, but only 1.0 MB are free on this disk. Nothing was unzipped."]),
    Case("disk full on the way: one message", status=1, tree="partly", small_disk=True,
         extra={"f%03d.txt" % n: b"x" * 600 for n in range(400)}, absent=["CRC", "Error while writing"],
         texts=[("could not be written. Nothing more will be unzipped.", 1)]),
    Case("program not in the archive", comment="sfxstub installer 1\nrun=app/missing\nend\n", status=1,
         tree=None, texts=["Error: the program app/missing is not in the zip archive."]),
]


def make_source(work, probe, batch=False, extra=None):
    source = os.path.join(work, "src")
    app = os.path.join(source, "app")
    os.makedirs(os.path.join(app, "docs"))
    shutil.copy(probe, os.path.join(app, os.path.basename(probe)))
    if batch:
        with open(os.path.join(app, "probe.bat"), "w", newline="") as out:
            out.write(BATCH_PROBE)
    with open(os.path.join(app, "data.bin"), "wb") as out:
        out.write(DATA)
    with open(os.path.join(app, "docs", "readme.txt"), "w") as out:
        out.write("read me\n" * 20)
    for name, data in (extra or {}).items():
        os.makedirs(os.path.join(app, "more"), exist_ok=True)
        with open(os.path.join(app, "more", name), "wb") as out:
            out.write(data)
    return source


def checks_refuse_the_other_password(path):
    """Whether every member's check byte refuses the password it was not made with."""
    with zipfile.ZipFile(path) as archive:
        for number, info in enumerate(archive.infolist()):
            try:
                archive.open(info, pwd=b"two" if number % 2 == 0 else b"one").close()
                return False
            except RuntimeError:
                pass
    return True


def converted_zip(work, source, comment):
    """A zip of the tree (with members under two passwords, made by
    Info-ZIP, for that comment), for mksfx to convert as it is."""
    target = os.path.join(work, "in.zip")
    if comment == "two passwords":
        files = sorted(os.path.relpath(os.path.join(root, name), source)
                       for root, _, names in os.walk(source) for name in names)
        # zip draws each member's encryption header at random, and one in 256
        # lets the other password past the check byte: such a set is made again.
        while not os.path.exists(target) or not checks_refuse_the_other_password(target):
            if os.path.exists(target):
                os.remove(target)
            for number, name in enumerate(files):
                subprocess.run(["zip", "-q", "-P", "one" if number % 2 == 0 else "two", target, name], cwd=source,
                               check=True)
        return target
    with zipfile.ZipFile(target, "w") as archive:
        for root, _, names in sorted(os.walk(source)):
            for name in sorted(names):
                path = os.path.join(root, name)
                archive.write(path, os.path.relpath(path, source))
    return target


def set_comment(program, comment):
    """Gives the self-extractor's archive this comment, as a maker's tool
    other than mksfx might write it (mksfx drops installer blocks it did
    not write)."""
    with open(program, "rb") as image:
        data = image.read()
    with open(program, "wb") as image:
        image.write(with_comment(data, comment))


def build(rig, case, work, source):
    output = os.path.join(work, "setup.exe" if rig.arch else "setup")
    inputs = [converted_zip(work, source, case.comment)] if case.comment else [os.path.join(source, "app")]
    options = [option.replace("PROBE", rig.probe_name) for option in case.options]
    subprocess.run([rig.mksfx, "-q", "--stub", rig.stub, *options, "-o", output, *inputs], check=True,
                   stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if case.comment and case.comment != "two passwords":
        set_comment(output, case.comment.encode())
    if case.cut:  # a third of the archive lost, the stub whole
        stub_size = os.path.getsize(rig.stub)
        os.truncate(output, stub_size + (os.path.getsize(output) - stub_size) * 2 // 3)
    if case.without:  # zip takes a name without .zip for another
        os.rename(output, output + ".zip")
        subprocess.run(["zip", "-qd", output + ".zip", case.without], check=True)
        os.rename(output + ".zip", output)
    if case.spoil:
        with open(output, "r+b") as image:
            data = image.read()
            at = data.index(DATA[:32]) + 100
            image.seek(at)
            image.write(bytes([data[at] ^ 0xFF]))
    return output


def local_folder(rig, shown):
    """The Unix folder behind a folder that the program reported."""
    if not rig.arch:
        return shown
    if shown[1:3] == ":\\" and shown[0].upper() == "Z":
        return shown[2:].replace("\\", "/")
    return os.path.join(rig.prefix, "drive_c", shown[3:].replace("\\", "/"))


def check_report(rig, case, work, run, report, program=None):
    if case.ran is None:
        return ["the program ran"] if os.path.exists(report) else []
    if not os.path.exists(report):
        return ["the program did not run"]
    with open(report, encoding="utf-8") as made:
        lines = made.read().splitlines()
    problems = ["the program found the self-extractor open"] if "archive=open" in lines else []
    # Where the user started the self-extractor, and the self-extractor itself.
    here = os.path.realpath(run)
    itself = os.path.realpath(program or os.path.join(work, "setup.exe" if rig.arch else "setup"))
    if rig.arch:
        here, itself = windows_path(here), windows_path(itself)
    told = [line for line in lines if line.startswith(("start=", "self="))]
    if told and told != ["start=[%s]" % here, "self=[%s]" % itself]:
        problems.append("the program was told %r, expected %r" % (told, [here, itself]))
    cwd = lines[0][len("cwd=["):-1]
    got_args = [line[len("arg=["):-1] for line in lines if line.startswith("arg=")]
    if got_args != case.ran:
        problems.append("arguments %r, expected %r" % (got_args, case.ran))
    if case.folder == "temp":
        folder = local_folder(rig, cwd)
        if "LAUNCH_TEMP" in case.env and not cwd.startswith(windows_path(os.path.join(work, case.env["LAUNCH_TEMP"]))):
            problems.append("ran in %r, not in the %%TEMP%% folder given" % cwd)
        inside_tmp = not rig.arch and os.path.dirname(folder) == os.path.realpath(os.path.join(work, "tmp"))
        if "sfx-" not in os.path.basename(folder) or (not rig.arch and not inside_tmp):
            problems.append("ran in %r, not a private temporary folder" % cwd)
        if os.path.exists(folder):
            problems.append("the temporary folder %s is still there" % folder)
        if not rig.arch and "mode=700" not in lines:
            problems.append("the temporary folder's mode: %r" % lines[1])
    elif case.folder == "fallback":
        if os.path.dirname(cwd) != os.path.realpath(run) or os.path.exists(cwd):
            problems.append("ran in %r, not a removed folder in the run folder" % cwd)
    else:
        expected = os.path.realpath(os.path.join(run, case.folder))
        if rig.arch:
            expected = windows_path(expected)
        if cwd.lower() != expected.lower():
            problems.append("ran in %r, expected %r" % (cwd, expected))
    return problems


def run_program(rig, program, run, report, stdin=b"", extra_args=(), env_extra=None, case=None):
    env = dict(os.environ, REPORT=windows_path(report) if rig.arch else report,
               SETUP=windows_path(program) if rig.arch else os.path.realpath(program))
    if not rig.arch:  # wine keeps its own files in TMPDIR
        env["TMPDIR"] = os.path.join(os.path.dirname(run), "tmp")
    env.update(env_extra or {})
    if case is not None and case.signal:
        return run_signalled(program, run, report, env, case)
    if case is not None and case.line is not None:
        env["LAUNCH"] = '"%s" %s' % (windows_path(program), case.line)
        program = rig.launcher
    if "LAUNCH_TEMP" in env:  # a folder of that name beside the run folder
        os.makedirs(os.path.join(os.path.dirname(run), env["LAUNCH_TEMP"]), exist_ok=True)
        env["LAUNCH_TEMP"] = windows_path(os.path.join(os.path.dirname(run), env["LAUNCH_TEMP"]))
    return rig.target.run(program, stdin=stdin, cwd=run, timeout=120, args=list(extra_args), env=env)


def run_signalled(program, run, report, env, case):
    """Starts the self-extractor in a session of its own, waits until its
    program has written the report, sends the case's signal to the whole
    process group or to the stub alone, and waits for the stub to end."""
    number, target = case.signal
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        stub = subprocess.Popen([program], cwd=run, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                start_new_session=True, preexec_fn=lambda: signal.signal(number, signal.SIG_DFL))
        for _ in range(600):
            if os.path.exists(report):
                break
            time.sleep(0.05)
        time.sleep(0.2)  # from the report to the program's sleep
        (os.killpg if target == "group" else os.kill)(stub.pid, number)
        try:
            status = stub.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(stub.pid, signal.SIGKILL)
            status = "still running 10 s after the signal"
            stub.wait()
        out.seek(0)
        err.seek(0)
        return Result(out.read(), err.read(), status)


def run_case(rig, case, work):
    run = os.path.join(work, "run")
    os.makedirs(run)
    os.makedirs(os.path.join(work, "tmp"))
    if case.small_disk and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", run],
                                          capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small file system (needs root)")
    try:
        return checked_case(rig, case, work, run)
    finally:
        if case.small_disk:
            subprocess.run(["umount", run], check=True)


def checked_case(rig, case, work, run):
    source = make_source(work, rig.probe, case.batch, case.extra)
    program = build(rig, case, work, source)
    report = os.path.join(work, "report.txt")
    result = run_program(rig, program, run, report, case.stdin, case.args, case.env, case)
    stdout = result.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    stderr = result.stderr.decode("utf-8", "replace").replace("\r\n", "\n")
    problems = []
    if result.status != case.status:
        problems.append("status %s, expected %d" % (result.status, case.status))
    expected_files = [] if case.tree is None else sorted(
        os.path.normpath(os.path.join(case.tree, name))
        for name in ("app/data.bin", "app/docs/readme.txt", "app/" + rig.probe_name)
        + (("app/probe.bat",) if case.batch else ()) if name != case.without)
    got_files = names_below(run)
    if got_files != expected_files and case.tree != "partly":
        problems.append("files %r, expected %r" % (got_files, expected_files))
    if case.stdout is not None and stdout != case.stdout.replace("PROBE", rig.probe_name):
        problems.append("stdout %r" % stdout)
    for text in case.texts:
        text, times = text if isinstance(text, tuple) else (text, None)
        if text not in stdout + stderr or (times is not None and (stdout + stderr).count(text) != times):
            problems.append("missing %r, or not %s times" % (text, times))
    for text in case.absent:
        if text in stdout + stderr:
            problems.append("printed %r" % text)
    if case.prompts is not None and stdout.count("Please enter the password for") != case.prompts:
        problems.append("%d prompts, expected %d" % (stdout.count("Please enter the password"), case.prompts))
    if os.listdir(os.path.join(work, "tmp")):
        problems.append("left in the temporary folder: %r" % os.listdir(os.path.join(work, "tmp")))
    problems += check_report(rig, case, work, run, report)
    return problems, "output %r %r" % (stdout[:300], stderr[:300])


def signed_problems(rig, work):
    """A self-extractor signed with osslsigncode (a self-signed certificate)
    verifies and still extracts and runs its program: the signature lands
    after the archive's end record, which the backward search still finds."""
    run = os.path.join(work, "run")
    os.makedirs(run)
    os.makedirs(os.path.join(work, "tmp"))
    source = make_source(work, rig.probe)
    case = Case("signed", ["--dest", "MyApp", "--run", "app/PROBE /quiet"])
    program = build(rig, case, work, source)
    key, cert, signed = (os.path.join(work, name) for name in ("key.pem", "cert.pem", "signed.exe"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=sfxstub test",
                    "-days", "2", "-keyout", key, "-out", cert], check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "sfxstub test", "-in", program,
                    "-out", signed], check=True, capture_output=True)
    problems = []
    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed], capture_output=True)
    if verify.returncode != 0:
        problems.append("osslsigncode verify: %r" % verify.stdout[-300:])
    if os.path.getsize(signed) <= os.path.getsize(program):
        problems.append("no signature was appended")
    report = os.path.join(work, "report.txt")
    result = run_program(rig, signed, run, report, extra_args=["exit=4"])
    if result.status != 4:
        problems.append("status %d, expected 4: %r" % (result.status, result.stderr[:300]))
    problems += check_report(rig, Case("signed", ran=["/quiet", "exit=4"], folder="MyApp"), work, run, report, signed)
    # A second zip put into the signature, with a program of its own to run:
    # refused, nothing extracted, nothing run.
    added = io.BytesIO()
    with zipfile.ZipFile(added, "w") as other:
        other.writestr("evil.txt", b"not signed\n")
        other.comment = b"sfxstub installer 1\nrun=evil.txt\nend\n"
    tampered = os.path.join(work, "tampered.exe")
    put_into_certificate_table(signed, tampered, added.getvalue())
    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", tampered], capture_output=True)
    if verify.returncode != 0:
        problems.append("the tampered copy fails osslsigncode verify: %r" % verify.stdout[-300:])
    shutil.rmtree(run)
    os.makedirs(run)
    result = run_program(rig, tampered, run, report)
    if result.status != 1 or b"changed after it was signed" not in result.stderr or os.listdir(run):
        problems.append("tampered: status %d, files %r, %r" % (result.status, os.listdir(run), result.stderr[:300]))
    return problems


def put_into_certificate_table(signed, tampered, added):
    """Copies the signed program with the bytes added at the end of its
    certificate table (the table is the file's end), the table's size in
    the security directory and its one entry's length grown to match: the
    signature's hash skips the table, so the signature stays good."""
    with open(signed, "rb") as source:
        image = bytearray(source.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    magic = struct.unpack_from("<H", image, pe + 24)[0]
    security = pe + 24 + (112 if magic == 0x20B else 96) + 8 * 4
    offset, size = struct.unpack_from("<II", image, security)
    added += bytes(-len(added) % 8)
    struct.pack_into("<II", image, security, offset, size + len(added))
    struct.pack_into("<I", image, offset, struct.unpack_from("<I", image, offset)[0] + len(added))
    image += added
    # The optional header's checksum: 16-bit words added with carry (the
    # field itself as zero), then the file's length.
    checksum_at = pe + 24 + 64
    struct.pack_into("<I", image, checksum_at, 0)
    total = sum(struct.unpack_from("<%dH" % (len(image) // 2), image)) + (image[-1] if len(image) % 2 else 0)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", image, checksum_at, total + len(image))
    with open(tampered, "wb") as out:
        out.write(image)


def compile_probe(target, work):
    if not target.arch:
        probe = os.path.join(work, "probe.sh")
        with open(probe, "w") as out:
            out.write(LINUX_PROBE)
        os.chmod(probe, 0o755)
        return probe
    return compile_windows(target, work, "installer_probe.c", "probe.exe")


def compile_windows(target, work, source, name):
    compiler = ("i686" if target.arch == "win32" else "x86_64") + "-w64-mingw32-gcc"
    program = os.path.join(work, name)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), source)
    subprocess.run([compiler, "-municode", "-O1", "-o", program, source], check=True)
    return program


@pytest.fixture(scope="module")
def rig(target, options, work):
    """What the cases share: the target, mksfx, the probe program packed and
    run, and under wine the launcher of an exact command line."""
    if not options.mksfx:
        pytest.fail("--mksfx is needed")
    probe = compile_probe(target, work)
    return types.SimpleNamespace(target=target, arch=target.arch, prefix=target.prefix, stub=target.stub,
                                 mksfx=os.path.abspath(options.mksfx), probe=probe, probe_name=os.path.basename(probe),
                                 launcher=target.arch and compile_windows(target, work, "launch_line.c", "launch.exe"))


def pytest_generate_tests(metafunc):
    if "case" in metafunc.fixturenames:
        system = "windows" if metafunc.config.option.target in WINDOWS_TARGETS else "linux"
        cases = [case for case in CASES if case.only in (None, system)]
        metafunc.parametrize("case", cases, ids=[case.name for case in cases])


def test_installer(case, rig, folder):
    problems, output = run_case(rig, case, folder)
    assert not problems, "%s\n  %s" % ("; ".join(problems), output)


@pytest.mark.skipif("config.option.target not in %r" % (WINDOWS_TARGETS,), reason="signed programs are Windows'")
def test_signed_with_osslsigncode(rig, folder):
    problems = signed_problems(rig, folder)
    assert not problems, "; ".join(problems)
