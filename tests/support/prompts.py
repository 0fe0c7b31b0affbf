"""Drives a stub through its prompts, over pipes or on a pseudo-terminal.

A stub asks on standard output for a disk of a spanned set, for a member's
password and, on a terminal, for Enter before it exits:

    Please insert segment 2 into drive A and press enter.
    Please insert the last segment into drive A and press enter.
    Please enter the password for NAME:
     Press Enter to continue

Session starts a program (pexpect reads its output) and meets its prompts
one by one; run() answers them from a script (Answer: put a disk in the
drive, then type a line or end the input) or from a function of the prompt,
such as insert_asked(), which puts in each disk asked for. Every wait has a
deadline, so a program that waits where it should not fails its test
instead of hanging it; it is killed then.
"""
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

import pexpect
from pexpect.spawnbase import SpawnBase

from stub_runner import qemu_command, set_drive_a, wine_binary, wine_env, wineserver

DISK_PROMPT = re.compile(rb"Please insert (?:segment (\d+)|the last segment) into drive A and press enter\.\r?\n")
PASSWORD_PROMPT = re.compile(rb"Please enter the password for ([^\n]*?): ")
PAUSE_PROMPT = re.compile(rb" Press Enter to continue \r?\n")
# Lines that wine itself may write on a busy machine; the stub never does.
WINE_NOISE = re.compile(r"^(?:wine: |[0-9a-f]{4}:(?:err|fixme|warn):).*\n", re.MULTILINE)


class Drive:
    """Drive A: a folder whose one file, of the set's name, is swapped between
    prompts. A disk is bytes or the path of a disk file (linked, not copied)."""

    def __init__(self, folder, name, disks):
        self.folder, self.name, self.disks = folder, name, disks
        os.makedirs(folder, exist_ok=True)
        self.path = os.path.join(folder, name)

    def insert(self, disk):
        """Puts disk (counted from 1) in the drive, or empties it for None; "fifo" and
        "folder" put a FIFO or a folder of the set's name there. The file is
        replaced, never rewritten, since the running stub may be that very file."""
        if os.path.isdir(self.path) and not os.path.islink(self.path):
            os.rmdir(self.path)
        elif os.path.lexists(self.path) and disk in (None, "fifo", "folder"):
            os.remove(self.path)
        if disk == "fifo":
            os.mkfifo(self.path)
        elif disk == "folder":
            os.mkdir(self.path)
        elif disk is not None:
            temporary = self.path + ".new"
            data = self.disks[disk - 1]
            if isinstance(data, str):
                os.symlink(os.path.abspath(data), temporary)
            else:
                with open(temporary, "wb") as f:
                    f.write(data)
                os.chmod(temporary, 0o755)
            os.replace(temporary, self.path)


class Answer:
    """What to do at one prompt: insert a disk (None empties the drive, ... leaves
    it alone), then type text, or end the input when text is None."""

    def __init__(self, disk=..., text=b"\n"):
        self.disk, self.text = disk, text


def disk(n, text=b"\n"):
    return Answer(n, text)


def password(text):
    return Answer(..., text.encode() + b"\n")


END_OF_INPUT = Answer(..., None)
ALREADY_TYPED = Answer(..., b"")  # the line was typed ahead


def insert_asked(count, passwords=()):
    """Answers for a set of count disks: each disk prompt by putting that disk in
    the drive, each password prompt with the next of passwords (the last one
    repeated; an empty line when there is none), the pause with Enter."""
    typed = []

    def answer(prompt):
        if prompt.startswith("password"):
            typed.append(passwords[min(len(typed), len(passwords) - 1)] if passwords else "")
            return password(typed[-1])
        if prompt == "pause":
            return Answer()
        number = count if prompt == "last" else int(prompt.split()[1])
        assert 1 <= number <= count, "asked for %s of %d disks" % (prompt, count)
        return disk(number)
    return answer


class Pipes(SpawnBase):
    """pexpect over a program's pipes; its standard error goes to a file. Wine's
    helpers may inherit standard output and hold it open after the program
    has ended, so the program's end, not the pipe's, ends its output."""

    def __init__(self, command, cwd=None, env=None, executable=None, timeout=60):
        super().__init__(timeout=timeout, maxread=65536)
        self.crlf = b"\n"
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command, executable=executable, cwd=cwd, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.errors)
        self.pid, self.child_fd = self.proc.pid, self.proc.stdout.fileno()

    def read_nonblocking(self, size=1, timeout=-1):
        deadline = time.monotonic() + (self.timeout if timeout == -1 else timeout)
        while True:
            ended = self.proc.poll() is not None
            if select.select([self.child_fd], [], [], 0 if ended else 0.05)[0]:
                return super().read_nonblocking(size)
            if ended:
                self.flag_eof = True
                raise pexpect.EOF("the program has ended")
            if time.monotonic() >= deadline:
                raise pexpect.TIMEOUT("no output in time")

    def send(self, text):
        try:
            self.proc.stdin.write(text)
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):  # ended, or input closed already
            pass

    def sendeof(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def returncode(self):
        """The exit status (-N for signal N), or None while it runs."""
        return self.proc.poll()

    def kill(self, number):
        self.proc.send_signal(number)

    def errors_written(self):
        self.errors.seek(0)
        return self.errors.read()

    def close(self):
        self.sendeof()
        self.proc.stdout.close()
        self.errors.close()


def default_signals():
    """In the child: the signals of a terminal back to their defaults, as a
    shell starts a job, whatever the test runner was started with."""
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM, signal.SIGTSTP,
                   signal.SIGTTIN, signal.SIGTTOU):
        signal.signal(number, signal.SIG_DFL)


class Output(bytearray):
    """Everything the program wrote, as pexpect reads it."""

    def write(self, data):
        self.extend(data)

    def flush(self):
        pass


class Session:
    """A program started over pipes or (terminal=True) on a pseudo-terminal of
    its own, which controls it; timeout counts for the whole session."""

    def __init__(self, command, cwd=None, env=None, executable=None, terminal=False, timeout=60,
                 preexec_fn=None):
        self.deadline = time.monotonic() + timeout
        self.terminal, self.prompts, self.echo, self.timed_out = terminal, [], [], False
        if terminal:
            def prepare():
                default_signals()
                if preexec_fn:
                    preexec_fn()
            self.child = pexpect.spawn(command[0], command[1:], cwd=cwd, env=env, timeout=timeout,
                                       preexec_fn=prepare, maxread=65536)
            self.child.delaybeforesend = None
        else:
            self.child = Pipes(command, cwd, env, executable, timeout)
        self.output = self.child.logfile_read = Output()

    def left(self):
        return max(0, self.deadline - time.monotonic())

    def next_prompt(self):
        """Reads on to the next prompt and returns its name ("segment 2", "last",
        "password NAME", "pause"), or None once the output ends or time is up.
        On a terminal, echo records whether echo was on at each prompt."""
        index = self.child.expect([DISK_PROMPT, PASSWORD_PROMPT, PAUSE_PROMPT, pexpect.EOF, pexpect.TIMEOUT],
                                  timeout=self.left())
        self.timed_out |= index == 4
        if index >= 3:
            return None
        match = self.child.match
        if index == 1:
            name = "password " + match.group(1).decode(errors="replace")
        else:
            name = "pause" if index == 2 else "segment " + match.group(1).decode() if match.group(1) else "last"
        self.prompts.append(name)
        if self.terminal:
            self.echo.append(self.child.getecho())
        return name

    def expect(self, text):
        """Reads on until the output holds text; False if it ends or time is up first."""
        index = self.child.expect_exact([text, pexpect.EOF, pexpect.TIMEOUT], timeout=self.left())
        self.timed_out |= index == 2
        return index == 0

    def type(self, text):
        """Types text, or ends the input for None (Ctrl-D on a terminal)."""
        if text is None:
            self.child.sendeof()
        elif text:
            self.child.send(text)

    def status(self):
        if self.terminal:
            if self.child.isalive():
                return None
            return self.child.exitstatus if self.child.signalstatus is None else -self.child.signalstatus
        return self.child.returncode()

    def finish(self):
        """Reads the rest of the output and waits for the end, killing the program
        when time is up. Returns the Result."""
        if not self.timed_out:
            self.timed_out = self.child.expect([pexpect.EOF, pexpect.TIMEOUT], timeout=self.left()) == 1
        while self.status() is None and not self.timed_out:
            self.timed_out = self.left() == 0
            time.sleep(0.01)
        if self.status() is None:
            self.child.kill(signal.SIGKILL)
            while self.status() is None:
                time.sleep(0.01)
        errors = b"" if self.terminal else self.child.errors_written()
        result = Result(bytes(self.output), errors, self.status(), self.prompts, self.echo, self.timed_out)
        if self.terminal:
            result.echo_after = self.child.getecho()
        self.child.close()
        return result


class Result:
    """What a session gave: output and errors as written; stdout and stderr as
    text with CR LF read as LF and, in stderr, wine's own lines left out; the
    prompts met; the exit status (-N for signal N)."""

    def __init__(self, output, errors, status, prompts, echo, timed_out):
        self.output, self.errors, self.status, self.timed_out = output, errors, status, timed_out
        self.prompts, self.echo = prompts, echo
        self.stdout = output.replace(b"\r\n", b"\n").decode(errors="replace")
        self.stderr = WINE_NOISE.sub("", errors.replace(b"\r\n", b"\n").decode(errors="replace"))

    def __repr__(self):
        return "status %r%s\nprompts %r\nstdout %r\nstderr %r" % (
            self.status, " (timed out)" if self.timed_out else "", self.prompts, self.stdout, self.stderr)


def start(program, target=None, drive=None, argv0=None, env=None):
    """The command, executable and environment that start program on target
    (a targets.Target; None: natively) with drive A in drive's folder. argv0,
    natively and under qemu, is the program's word 0."""
    env = dict(os.environ if env is None else env)
    if target is not None and target.arch:
        if drive is not None:
            set_drive_a(target.prefix, drive.folder)
        wineserver(target.prefix, "-p30")  # one server for a whole run of tests
        return [wine_binary(target.arch), program], None, wine_env(target.prefix, env)
    if drive is not None:
        env["SFX_DRIVE_A"] = drive.folder
    if target is not None and target.qemu:
        return qemu_command(program, argv0=argv0), None, env
    return [argv0 or program], program, env


def run(program, cwd, answers, target=None, drive=None, argv0=None, env=None, typeahead=b"", timeout=60,
        terminal=False):
    """Runs program, answering its prompts in order from answers, a list of
    Answer or a function of the prompt's name; the input ends after the last
    answer of a list. Returns the Result."""
    command, executable, env = start(os.path.abspath(program), target, drive, argv0, env)
    session = Session(command, cwd, env, executable, terminal, timeout)
    script = None if callable(answers) else list(answers)
    try:
        session.type(typeahead)
        if script == []:
            session.type(None)
        while True:
            prompt = session.next_prompt()
            if prompt is None:
                break
            if script == []:  # a prompt the script did not expect: the input has ended
                session.type(None)
                continue
            answer = script.pop(0) if script else answers(prompt)
            if answer.disk is not ...:
                drive.insert(answer.disk)
            session.type(answer.text)
            if script == []:
                session.type(None)
    finally:
        result = session.finish()
    return result


def extract_set(disks, cwd, passwords=(), target=None, timeout=120):
    """Runs a spanned set from disk 1's own file (disks: the paths of its disk
    files, disk 1 first) in cwd, with an empty drive of its own into which
    each disk asked for is put. Returns the Result."""
    folder = tempfile.mkdtemp(prefix="drive-a-")
    try:
        drive = Drive(folder, os.path.basename(disks[0]), disks)
        return run(disks[0], cwd, insert_asked(len(disks), passwords), target, drive, timeout=timeout)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
