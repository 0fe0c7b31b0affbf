#!/usr/bin/env python3
"""terminal_cases.py - the Linux stub on a pseudo-terminal: echo is off while a
password is typed and on again afterwards, also after Ctrl-C; the exit pause
waits for Enter, and reports a console that cannot be read.

    terminal_cases.py --stub build/sfxstub --work DIR
"""
import argparse
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import termios
import time

from run_cases import Inputs, sfx_bytes

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
    parser.add_argument("--stub", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    failed = False
    for scenario in ("typed", "ctrl-c", "no controlling terminal"):
        folder = os.path.join(os.path.abspath(args.work), "terminal", scenario.replace(" ", "_"))
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(folder, "out"))
        program = os.path.join(folder, "prog")
        with open(args.stub, "rb") as stub, open(Inputs(os.path.join(args.work, "inputs")).archive("enc_stored"), "rb") as z:
            data = sfx_bytes(stub.read(), z.read())
        with open(program, "wb") as out:
            out.write(data)
        os.chmod(program, 0o755)
        if scenario == "no controlling terminal":
            problems = run_without_terminal(program, os.path.join(folder, "out"))
        else:
            problems = run(program, os.path.join(folder, "out"), scenario == "ctrl-c")
        print(f"{'FAIL' if problems else 'ok  '} terminal {scenario}")
        for problem in problems:
            print("    " + problem)
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
