#!/usr/bin/env python3
"""Drives a stub through the disk prompts of a spanned set, over pipes.

The drive is a folder holding one file, the disk "inserted" now.  The
driver reads the stub's standard output as it comes; at each prompt (disk
or password) it takes the next answer of the script: put a disk in the
drive (or empty it), then type a line, or end standard input.  Every run
has a time limit, so a stub that waits where it should not fails the test
instead of hanging it.
"""
import os
import re
import select
import subprocess
import time

import stub_runner

DISK_PROMPT = re.compile(rb"Please insert (?:segment (\d+)|the last segment) into drive A and press enter\.\n")
PASSWORD_PROMPT = re.compile(rb"Please enter the password for ([^\n]*?): ")
# Lines that wine itself may write on a busy machine; the stub never does.
WINE_NOISE = re.compile(r"^(?:wine: |[0-9a-f]{4}:(?:err|fixme|warn):).*\n", re.MULTILINE)


class Drive:
    """Drive A: a folder whose one file, of the set's name, is swapped between prompts."""

    def __init__(self, folder, name, disks):
        self.folder, self.name, self.disks = folder, name, disks
        os.makedirs(folder, exist_ok=True)
        self.path = os.path.join(folder, name)

    def insert(self, disk):
        """Puts disk (counted from 1) in the drive, or empties it for None; "fifo" and
        "folder" put a FIFO or a folder of the set's name there.  The file is
        replaced, never rewritten, since the running stub may be that very file."""
        if os.path.isdir(self.path) and not os.path.islink(self.path):
            os.rmdir(self.path)
        elif os.path.lexists(self.path) and (disk is None or disk in ("fifo", "folder")):
            os.remove(self.path)
        if disk is None:
            return
        if disk == "fifo":
            os.mkfifo(self.path)
            return
        if disk == "folder":
            os.mkdir(self.path)
            return
        temporary = self.path + ".new"
        with open(temporary, "wb") as f:
            f.write(self.disks[disk - 1])
        os.chmod(temporary, 0o755)
        os.replace(temporary, self.path)


class Answer:
    """What to do at one prompt: insert a disk (None empties the drive, ... leaves it
    alone), then type text, or end the input when text is None."""

    def __init__(self, disk=..., text=b"\n"):
        self.disk, self.text = disk, text


def disk(n, text=b"\n"):
    return Answer(n, text)


def password(text):
    return Answer(..., text.encode() + b"\n")


END_OF_INPUT = Answer(..., None)
ALREADY_TYPED = Answer(..., b"")  # the line was typed ahead


class Result:
    def __init__(self, stdout, stderr, status, prompts, timed_out):
        self.stdout, self.stderr, self.status = stdout, stderr, status
        self.prompts, self.timed_out = prompts, timed_out

    def __repr__(self):
        return "status %r%s\nprompts %r\nstdout %r\nstderr %r" % (
            self.status, " (timed out)" if self.timed_out else "", self.prompts, self.stdout, self.stderr)


def _prompt_name(match):
    if match.re is PASSWORD_PROMPT:
        return "password " + match.group(1).decode(errors="replace")
    return "segment " + match.group(1).decode() if match.group(1) else "last"


def run(command, cwd, drive, answers, env=None, typeahead=b"", timeout=60, executable=None):
    """Runs command, answering its prompts in order; standard input ends after the last
    answer.  Returns a Result whose stdout and stderr have CR LF turned into LF and
    whose prompts name each prompt met ("segment 2", "last", "password NAME")."""
    process = subprocess.Popen(command, cwd=cwd, env=env, executable=executable, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    answers = list(answers)
    out, err = bytearray(), bytearray()
    prompts = []
    cursor = 0
    deadline = time.monotonic() + timeout
    timed_out = False

    def send(text):
        """Types text; input ends with None, or once no answer is left."""
        try:
            if process.stdin.closed:
                return
            if text:
                process.stdin.write(text)
                process.stdin.flush()
            if text is None or not answers:
                process.stdin.close()
        except BrokenPipeError:
            pass

    if typeahead:
        send(typeahead)
    if not answers:
        send(None)
    # Helper processes that wine starts may inherit the pipes and keep them open after
    # the stub has ended, so the end of the stub, not of its pipes, ends the reading.
    open_streams = {process.stdout.fileno(): out, process.stderr.fileno(): err}
    ended = False
    while open_streams and not ended:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            timed_out = True
            process.kill()
            break
        ended = process.poll() is not None
        ready, _, _ = select.select(list(open_streams), [], [], 0 if ended else min(remaining, 0.05))
        while ready:
            for fd in ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    del open_streams[fd]
                    continue
                open_streams[fd] += chunk
            ready = select.select(list(open_streams), [], [], 0)[0] if ended else []
        text = bytes(out).replace(b"\r\n", b"\n")
        while True:
            matches = [m for m in (DISK_PROMPT.search(text, cursor), PASSWORD_PROMPT.search(text, cursor)) if m]
            if not matches:
                break
            match = min(matches, key=lambda m: m.start())
            cursor = match.end()
            prompts.append(_prompt_name(match))
            if not answers:  # a prompt the script did not expect: input has ended
                send(None)
                continue
            answer = answers.pop(0)
            if answer.disk is not ...:
                drive.insert(answer.disk)
            send(answer.text)
    status = process.wait()
    if not process.stdin.closed:
        try:
            process.stdin.close()
        except BrokenPipeError:
            pass
    normal = lambda b: bytes(b).replace(b"\r\n", b"\n").decode(errors="replace")
    return Result(normal(out), WINE_NOISE.sub("", normal(err)), status, prompts, timed_out)


class WinePrefix:
    """A wine prefix of arch ("win32" or "win64") whose drive A is drive_folder;
    its server is kept running between runs."""

    def __init__(self, folder, arch, drive_folder):
        self.folder = stub_runner.prepare_wine_prefix(folder, arch)
        stub_runner.set_drive_a(self.folder, drive_folder)
        self.env = stub_runner.wine_env(self.folder)
        self.wine = stub_runner.wine_binary(arch)
