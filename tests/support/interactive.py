"""Drive a self-extractor through its disk and password prompts.

A spanned self-extractor asks for each disk on standard output:

    Please insert segment 2 into drive A and press enter.
    Please insert the last segment into drive A and press enter.

and an encrypted member asks "Please enter the password for NAME: ".
run_interactive() starts the program, watches its standard output, answers
each disk prompt by putting the wanted disk into a private drive-A folder and
sending Enter, and answers each password prompt with the next password line.

Usage (Linux stub; the drive is the folder in SFX_DRIVE_A; a relative
program path counts from cwd, so pass absolute paths):

    from interactive import run_interactive
    disks = ["out/disk1/setup", "out/disk2/setup", "out/disk3/setup"]
    result = run_interactive([disks[0]], disks, cwd=empty_folder)
    assert result.returncode == 0, result.stderr
    print(result.prompts)   # ["last", 1, 2, ...] in the order asked

Windows stub under wine64: pass the command with the wine loader and the
wine prefix; drive A is then the prefix's dosdevices/a: link:

    run_interactive(["/usr/lib/wine/wine64", disks[0]], disks, cwd=folder,
                    wine_prefix=prefix)

Each disk is offered in the drive folder under its own file name (a symbolic
link), which is the name the program was started by. A prompt for a segment
outside the list fails the run (RuntimeError), as does a program that is
still running after `timeout` seconds (it is killed first). Whatever the
program writes after the last prompt is collected until it ends.
"""

import os
import re
import select
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass, field

DISK_PROMPT = re.compile(rb"Please insert (?:segment (\d+)|the last segment) into drive A and press enter\.\r?\n")
PASSWORD_PROMPT = re.compile(rb"Please enter the password for [^\n]*?: $")


@dataclass
class InteractiveResult:
    returncode: int
    stdout: str
    stderr: str
    prompts: list = field(default_factory=list)  # segment numbers (from 1) or "last"
    password_prompts: int = 0


def _insert_disk(drive, disk_path):
    """Makes the drive folder hold exactly the one disk file, by its own name."""
    for name in os.listdir(drive):
        os.unlink(os.path.join(drive, name))
    os.symlink(os.path.abspath(disk_path), os.path.join(drive, os.path.basename(disk_path)))


def _point_wine_drive_a(wine_prefix, drive):
    link = os.path.join(wine_prefix, "dosdevices", "a:")
    if os.path.islink(link) or os.path.exists(link):
        os.unlink(link)
    os.symlink(drive, link)


def run_interactive(command, disks=(), cwd=None, env=None, passwords=(), wine_prefix=None,
                    timeout=120, drive=None):
    """Runs command, answering disk prompts from `disks` (disk 1 first) and
    password prompts from `passwords` (one line each, the last one repeated;
    an empty line when none is given). Returns an InteractiveResult."""
    env = dict(os.environ if env is None else env)
    own_drive = drive is None
    if own_drive:
        drive = tempfile.mkdtemp(prefix="drive-a-")
    if wine_prefix is not None:
        env["WINEPREFIX"] = wine_prefix
        env.setdefault("WINEDEBUG", "-all")
        _point_wine_drive_a(wine_prefix, drive)
    else:
        env["SFX_DRIVE_A"] = drive
    passwords = list(passwords)
    try:
        return _run(command, list(disks), cwd, env, passwords, timeout, drive)
    finally:
        if own_drive:
            shutil.rmtree(drive, ignore_errors=True)


def _run(command, disks, cwd, env, passwords, timeout, drive):
    process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    result = InteractiveResult(returncode=-1, stdout="", stderr="")
    out = bytearray()
    err = bytearray()
    scanned = 0  # stdout before this index has been matched against the prompts
    streams = {process.stdout.fileno(): out, process.stderr.fileno(): err}
    deadline = time.monotonic() + timeout
    ended_at = None
    try:
        while streams:
            now = time.monotonic()
            if now >= deadline:
                raise RuntimeError("still running after %s s; output so far:\n%s" % (timeout, out.decode(errors="replace")))
            # A server the program started (wine's) may hold the pipes open
            # after the program has ended: stop reading shortly after its end.
            if process.poll() is not None:
                ended_at = ended_at or now
                if now - ended_at > 0.5:
                    break
            ready, _, _ = select.select(list(streams), [], [], 0.1)
            for descriptor in ready:
                chunk = os.read(descriptor, 65536)
                if not chunk:
                    del streams[descriptor]
                    continue
                streams[descriptor].extend(chunk)
            scanned = _answer_prompts(process, out, scanned, disks, passwords, drive, result)
        process.wait(timeout=max(1, deadline - time.monotonic()))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        for stream in (process.stdin, process.stdout, process.stderr):
            try:
                stream.close()
            except OSError:
                pass
    result.returncode = process.returncode
    result.stdout = out.decode(errors="replace")
    result.stderr = err.decode(errors="replace")
    return result


def _answer_prompts(process, out, scanned, disks, passwords, drive, result):
    while True:
        disk = DISK_PROMPT.search(out, scanned)
        password = PASSWORD_PROMPT.search(out, scanned)
        if disk is None and password is None:
            return scanned
        if disk is not None and (password is None or disk.start() < password.start()):
            number = int(disk.group(1)) if disk.group(1) else len(disks)
            result.prompts.append(int(disk.group(1)) if disk.group(1) else "last")
            if not 1 <= number <= len(disks):
                raise RuntimeError("asked for segment %d of %d disks" % (number, len(disks)))
            _insert_disk(drive, disks[number - 1])
            answer = b"\n"
            scanned = disk.end()
        else:
            line = passwords[min(result.password_prompts, len(passwords) - 1)] if passwords else ""
            result.password_prompts += 1
            answer = line.encode() + b"\n"
            scanned = password.end()
        try:
            process.stdin.write(answer)
            process.stdin.flush()
        except BrokenPipeError:
            pass
