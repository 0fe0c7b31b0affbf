"""Drives a stub through its prompts, over pipes or on a pseudo-terminal.

A stub asks on standard output for a disk of a spanned set, for a member's
password and, on a terminal, for Enter before it exits:

    Please insert segment 2 into drive A and press enter.
    Please insert the last segment into drive A and press enter.
    Please enter the password for NAME:
     Press Enter to continue

Session starts a program over pipes or on a terminal, natively or as a job
of a shell (pexpect reads its output) and meets its prompts one by one;
run() answers them from a script (Answer: put a disk in the drive, type a
line or end the input, send a signal) or from a function of the prompt,
such as insert_asked(), which puts in each disk asked for. Every wait has a
deadline, so a program that waits where it should not fails its test
instead of hanging it; it is killed then.
"""
import io
import os
import pty
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
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
    prompts; it starts empty. A disk is bytes or the path of a disk file
    (linked, not copied)."""

    def __init__(self, folder, name, disks):
        self.folder, self.name, self.disks = folder, name, disks
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
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
    it alone), then type text, or end the input when text is None, then send
    the program signal, if any."""

    def __init__(self, disk=..., text=b"\n", signal=None):
        self.disk, self.text, self.signal = disk, text, signal


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


def child_settings():
    """In the child: the signals of a terminal back to their defaults, as a shell
    starts a job, whatever the test runner was started with; no core file,
    which would land in the folder the program extracts to."""
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM, signal.SIGTSTP,
                   signal.SIGTTIN, signal.SIGTTOU):
        signal.signal(number, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


class Pipes(SpawnBase):
    """pexpect over a program's pipes; its standard error goes to a file, its
    standard output to a pipe or, with on_terminal, to a pseudo-terminal that
    controls nothing (the program starts a session of its own). Wine's helpers
    may inherit standard output and hold it open after the program has ended,
    so the program's end, not the pipe's, ends its output."""

    def __init__(self, command, cwd=None, env=None, executable=None, timeout=60, on_terminal=False):
        super().__init__(timeout=timeout, maxread=65536)
        self.crlf = b"\n"
        self.errors = tempfile.TemporaryFile()
        self.child_fd, stdout = pty.openpty() if on_terminal else (None, subprocess.PIPE)
        self.proc = subprocess.Popen(command, executable=executable, cwd=cwd, env=env, stdin=subprocess.PIPE,
                                     stdout=stdout, stderr=self.errors, preexec_fn=child_settings,
                                     start_new_session=on_terminal)
        if on_terminal:
            os.close(stdout)
        else:
            self.child_fd = self.proc.stdout.fileno()
        self.pid = self.proc.pid

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
        if self.proc.stdout:
            self.proc.stdout.close()
        else:
            os.close(self.child_fd)
        self.errors.close()


# Starts a program as a job-control shell does: in a process group of its own,
# in the terminal's foreground or background, its parent (this) staying in
# the session so that a stop signal stops it (one to an orphaned group is
# dropped). It shows the job's pid first and ends with its status
# (128 + N for signal N).
JOB = """
import os, signal, sys
go, started = os.pipe()
job = os.fork()
if job == 0:
    os.setpgid(0, 0)
    if sys.argv[1] == "foreground":
        signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        os.tcsetpgrp(0, os.getpgrp())
        signal.signal(signal.SIGTTOU, signal.SIG_DFL)
    os.read(go, 1)
    os.execv(sys.argv[2], sys.argv[2:])
print("job", job, flush=True)
os.write(started, b"!")
code = os.waitstatus_to_exitcode(os.waitpid(job, 0)[1])
sys.exit(code if code >= 0 else 128 - code)
"""


class Session:
    """A program started, prompt by prompt; timeout counts for the whole
    session. terminal: False, over pipes; True, on a pseudo-terminal of its
    own, which controls it; "output", standard output on a pseudo-terminal
    that controls nothing. job ("foreground" or "background", on a terminal):
    started as a job of a shell, whose pid is then job. Used in a with
    block, it ends with the program, killed when the block fails or time is
    up; result is then the Result."""

    def __init__(self, command, cwd=None, env=None, executable=None, terminal=False, timeout=60, job=None):
        self.deadline = time.monotonic() + timeout
        self.terminal, self.prompts, self.echo, self.timed_out, self.result = terminal, [], [], False, None
        if terminal is True:
            if job:
                command = [sys.executable, "-c", JOB, job, *command]
            self.child = pexpect.spawn(command[0], command[1:], cwd=cwd, env=env, timeout=timeout,
                                       preexec_fn=child_settings, maxread=65536)
            self.child.delaybeforesend = None
        else:
            self.child = Pipes(command, cwd, env, executable, timeout, terminal == "output")
        self.output = self.child.logfile_read = io.BytesIO()  # everything the program wrote
        self.job, self.shown_from = None, 0
        if job:
            self.child.expect(rb"^job (\d+)\r\n", timeout=self.left())
            self.job, self.shown_from = int(self.child.match.group(1)), self.child.match.end()

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is not None:
            self.deadline = 0
        self.finish()

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
        if self.terminal is True:
            self.echo.append(self.child.getecho())
        return name

    def type(self, text):
        """Types text, or ends the input for None (Ctrl-D on a terminal)."""
        if text is None:
            self.child.sendeof()
        elif text:
            self.child.send(text)

    def answer(self, answers, drive=None, end_input=True):
        """Answers each prompt until the output ends, from answers: a list of
        Answer, in order, or a function of the prompt's name. At a prompt that a
        list does not answer, and with end_input after its last answer, the
        input ends."""
        script = None if callable(answers) else list(answers)
        if script == [] and end_input:
            self.type(None)
        while True:
            prompt = self.next_prompt()
            if prompt is None:
                return
            if script == []:
                self.type(None)
                continue
            answer = script.pop(0) if script else answers(prompt)
            if answer.disk is not ...:
                drive.insert(answer.disk)
            self.type(answer.text)
            if answer.signal:
                self.child.kill(answer.signal)
            if script == [] and end_input:
                self.type(None)

    def state(self):
        """The state letter of the job (T: stopped), or None once it is gone."""
        try:
            with open("/proc/%d/stat" % self.job) as stat:
                return stat.read().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            return None

    def status(self):
        if self.terminal is True:
            if self.child.isalive():
                return None
            return self.child.exitstatus if self.child.signalstatus is None else -self.child.signalstatus
        return self.child.returncode()

    def finish(self):
        """Reads the rest of the output and waits for the end, killing the program
        when time is up. Returns the Result."""
        if self.result:
            return self.result
        if not self.timed_out and self.left():
            self.timed_out = self.child.expect([pexpect.EOF, pexpect.TIMEOUT], timeout=self.left()) == 1
        if not wait_for(lambda: self.status() is not None, self.left()):
            self.timed_out = True
            for pid in filter(None, (self.job, self.child.pid)):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            wait_for(lambda: self.status() is not None)
        errors = b"" if self.terminal is True else self.child.errors_written()
        self.result = Result(self.output.getvalue()[self.shown_from:], errors, self.status(), self.prompts, self.echo, self.timed_out)
        if self.terminal is True:
            self.result.echo_after = self.child.getecho()
        self.child.close()
        return self.result


def wait_for(condition, timeout=10):
    """Whether condition() comes true within timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.01)
    return True


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
    """Runs program on target with drive A in drive, answering its prompts from
    answers (see Session.answer) after typing typeahead; over pipes the input
    ends after the last answer of a list. Returns the Result."""
    command, executable, env = start(os.path.abspath(program), target, drive, argv0, env)
    with Session(command, cwd, env, executable, terminal, timeout) as session:
        session.type(typeahead)
        session.answer(answers, drive, end_input=terminal is not True)
    return session.result


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
