#!/usr/bin/env python3
"""terminal_cases.py - the Linux stub on a pseudo-terminal: echo is off while a
password is typed and on again afterwards, also after Ctrl-C, SIGTERM, SIGHUP
and SIGQUIT, and while Ctrl-Z holds the program stopped; the exit pause waits
for Enter, is skipped in a background job, and reports a console that cannot
be read.

    terminal_cases.py --stub build/sfxstub --work DIR
"""
import argparse
import os
import pty
import resource
import select
import shutil
import signal
import subprocess
import sys
import termios
import time

from run_cases import Inputs, sfx_bytes
from targets import add_target_options, read_target

PROMPT = b"Please enter the password for %s: "
PAUSE = b"\r\n \r\n Press Enter to continue \r\n"


def read_until(master, wanted, transcript, timeout=30):
    """Appends the terminal's output to transcript until it ends with wanted."""
    deadline = time.time() + timeout
    while not transcript.endswith(wanted):
        ready, _, _ = select.select([master], [], [], max(0, deadline - time.time()))
        if not ready:
            raise TimeoutError(f"waiting for {wanted!r}, got {bytes(transcript)!r}")
        transcript += os.read(master, 4096)


def echo_is_on(master):
    return bool(termios.tcgetattr(master)[3] & termios.ECHO)


def run(program, folder, interrupt):
    """Answers the first prompt with the password and the second with the
    password or Ctrl-C; returns a list of problems."""
    pid, master = pty.fork()
    if pid == 0:
        os.chdir(folder)
        os.execv(program, [program])
    problems, transcript = [], bytearray()
    try:
        for name, answer in ((b"es.txt", b"secret\n"), (b"empty.txt", b"\x03" if interrupt else b"secret\n")):
            read_until(master, PROMPT % name, transcript)
            if echo_is_on(master):
                problems.append(f"echo on at the prompt for {name.decode()}")
            os.write(master, answer)
        if not interrupt:
            read_until(master, PAUSE, transcript)
            if not echo_is_on(master):
                problems.append("echo still off after the last password")
            os.write(master, b"\n")
        _, status = os.waitpid(pid, 0)
        if interrupt and not echo_is_on(master):
            problems.append("echo still off after Ctrl-C")
    finally:
        os.close(master)
    want_status = -signal.SIGINT if interrupt else 0
    if os.waitstatus_to_exitcode(status) != want_status:
        problems.append(f"exit {os.waitstatus_to_exitcode(status)}, want {want_status}")
    if b"secret" in transcript:
        problems.append(f"password shown: {bytes(transcript)!r}")
    expected = b"Inflating: es.txt..." + PROMPT % b"es.txt" + b"done\r\nInflating: empty.txt..." + PROMPT % b"empty.txt"
    if not interrupt and bytes(transcript) != expected + b"done\r\n" + PAUSE:
        problems.append(f"transcript {bytes(transcript)!r}")
    return problems


def exec_program(program, folder):
    """In a forked child: runs program in folder, with no core file (SIGQUIT
    would leave one in the extraction folder)."""
    try:
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        os.chdir(folder)
        os.execv(program, [program])
    finally:
        os._exit(127)


def run_signalled(program, folder, signal_number):
    """Sends signal_number at the first password prompt: the program ends by
    it, with the echo back on."""
    pid, master = pty.fork()
    if pid == 0:
        exec_program(program, folder)
    problems, transcript = [], bytearray()
    try:
        read_until(master, PROMPT % b"es.txt", transcript)
        if echo_is_on(master):
            problems.append("echo on at the prompt")
        os.kill(pid, signal_number)
        _, status = os.waitpid(pid, 0)
        if not echo_is_on(master):
            problems.append(f"echo still off after {signal.Signals(signal_number).name}")
    finally:
        os.close(master)
    if os.waitstatus_to_exitcode(status) != -signal_number:
        problems.append(f"exit {os.waitstatus_to_exitcode(status)}, want {-signal_number}")
    return problems


def start_job(program, folder, foreground):
    """Starts program on a new pseudo-terminal in a process group of its own,
    in the terminal's foreground or background, as a job-control shell does.
    Its parent stays in the session, so that a stop signal stops it (in an
    orphaned process group the stop would be dropped); the parent ends with
    the program's status (128 + N for signal N). Returns (the parent's pid,
    the program's pid, the terminal's master)."""
    report_read, report_write = os.pipe()
    parent, master = pty.fork()
    if parent == 0:
        try:
            os.close(report_read)
            job = os.fork()
            if job == 0:
                os.setpgid(0, 0)
                if foreground:
                    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
                    os.tcsetpgrp(0, os.getpgrp())
                    signal.signal(signal.SIGTTOU, signal.SIG_DFL)
                exec_program(program, folder)
            os.write(report_write, b"%d\n" % job)
            _, status = os.waitpid(job, 0)
            code = os.waitstatus_to_exitcode(status)
            os._exit(code if code >= 0 else 128 - code)
        finally:
            os._exit(127)
    os.close(report_write)
    job = int(os.read(report_read, 32))
    os.close(report_read)
    return parent, job, master


def process_state(pid):
    """The state letter of /proc/PID/stat (T: stopped), or None once gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def wait_for(condition, timeout=10):
    deadline = time.time() + timeout
    while not condition():
        if time.time() > deadline:
            return False
        time.sleep(0.02)
    return True


def end_job(parent, job, timeout=10):
    """Waits up to timeout seconds for the job to end, kills it if it has
    not, and returns the parent's status."""
    deadline = time.time() + timeout
    while True:
        pid, status = os.waitpid(parent, os.WNOHANG)
        if pid != 0:
            return os.waitstatus_to_exitcode(status)
        if time.time() >= deadline:
            os.kill(job, signal.SIGKILL)
            return os.waitstatus_to_exitcode(os.waitpid(parent, 0)[1])
        time.sleep(0.02)


def run_stopped(program, folder):
    """Ctrl-Z at the first password prompt, then SIGCONT: the echo is on while
    the program is stopped and off again once it goes on."""
    parent, job, master = start_job(program, folder, foreground=True)
    problems, transcript, status = [], bytearray(), None
    try:
        read_until(master, PROMPT % b"es.txt", transcript)
        os.write(master, b"\x1a")
        if not wait_for(lambda: process_state(job) == "T"):
            problems.append("not stopped by Ctrl-Z")
        elif not echo_is_on(master):
            problems.append("echo off while stopped")
        os.kill(job, signal.SIGCONT)
        if not wait_for(lambda: not echo_is_on(master)):
            problems.append("echo on after SIGCONT")
        os.write(master, b"secret\n")
        read_until(master, PROMPT % b"empty.txt", transcript)
        os.write(master, b"secret\n")
        read_until(master, PAUSE, transcript)
        os.write(master, b"\n")
    except TimeoutError as error:
        problems.append(str(error))
    finally:
        status = end_job(parent, job, timeout=0 if problems else 10)
        os.close(master)
    if status != 0:
        problems.append(f"exit {status}")
    expected = b"".join(b"Inflating: %s..." % n + PROMPT % n + b"done\r\n" for n in (b"es.txt", b"empty.txt"))
    if bytes(transcript) != expected + PAUSE:
        problems.append(f"transcript {bytes(transcript)!r}")
    return problems


def run_in_background(program, folder):
    """Started in the background with standard output on the terminal: the
    program ends without the exit pause (whose read would stop it)."""
    parent, job, master = start_job(program, folder, foreground=False)
    problems, transcript = [], bytearray()
    deadline = time.time() + 20
    try:
        while True:
            if process_state(job) == "T":
                problems.append("stopped in the background")
                break
            if process_state(job) in (None, "Z"):
                # What it wrote just before it ended may still wait in the terminal.
                while select.select([master], [], [], 0.2)[0]:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:  # EIO: the terminal's last user has gone
                        break
                    if not chunk:
                        break
                    transcript += chunk
                break
            if time.time() > deadline:
                problems.append("no end in time")
                break
            if select.select([master], [], [], 0.05)[0]:
                try:
                    transcript += os.read(master, 4096)
                except OSError:  # EIO: the terminal's last user has gone
                    pass
    finally:
        status = end_job(parent, job, timeout=0 if problems else 10)
        os.close(master)
    if status != 0:
        problems.append(f"exit {status}")
    expected = b"".join(b"Inflating: %s...done\r\n" % n for n in (b"one.txt", b"two.txt", b"three.txt"))
    if not problems and bytes(transcript) != expected:
        problems.append(f"transcript {bytes(transcript)!r}")
    return problems


def run_without_terminal(program, folder):
    """Standard output on a terminal that is not the controlling one: the
    exit pause cannot open /dev/tty (ENXIO, 6) and says so."""
    master, slave = pty.openpty()
    child = subprocess.Popen([program], cwd=folder, stdin=subprocess.PIPE, stdout=slave, stderr=subprocess.DEVNULL,
                             start_new_session=True)
    os.close(slave)
    child.stdin.write(b"secret\n")
    child.stdin.close()
    transcript = bytearray()
    try:
        read_until(master, PAUSE + b"exit routine error GetLastError=6 \r\n", transcript)
    except TimeoutError as error:
        child.kill()
        return [str(error)]
    finally:
        os.close(master)
    status = child.wait(30)
    expected = b"".join(b"Inflating: %s..." % n + PROMPT % n + b"done\r\n" for n in (b"es.txt", b"empty.txt"))
    expected += PAUSE + b"exit routine error GetLastError=6 \r\n"
    return [f"exit {status}"] * (status != 0) + [f"transcript {bytes(transcript)!r}"] * (transcript != expected)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_target_options(parser)
    args = read_target(parser.parse_args())
    if args.platform != "linux":
        parser.error("the terminal cases run a Linux stub natively")
    failed = False
    scenarios = {
        "typed": lambda program, out: run(program, out, False),
        "ctrl-c": lambda program, out: run(program, out, True),
        "sigterm": lambda program, out: run_signalled(program, out, signal.SIGTERM),
        "sighup": lambda program, out: run_signalled(program, out, signal.SIGHUP),
        "sigquit": lambda program, out: run_signalled(program, out, signal.SIGQUIT),
        "ctrl-z then sigcont": run_stopped,
        "background job": run_in_background,
        "no controlling terminal": run_without_terminal,
    }
    for scenario, run_scenario in scenarios.items():
        folder = os.path.join(os.path.abspath(args.work), "terminal", scenario.replace(" ", "_"))
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "out"))
        program = os.path.join(folder, "prog")
        archive = "three" if scenario == "background job" else "enc_stored"
        with open(args.stub, "rb") as stub, open(Inputs(os.path.join(args.work, "inputs")).archive(archive), "rb") as z:
            data = sfx_bytes(stub.read(), z.read())
        with open(program, "wb") as out:
            out.write(data)
        os.chmod(program, 0o755)
        problems = run_scenario(program, os.path.join(folder, "out"))
        print(f"{'FAIL' if problems else 'ok  '} terminal {scenario}")
        for problem in problems:
            print("    " + problem)
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
