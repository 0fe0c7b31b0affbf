#!/usr/bin/env python3
"""What AES costs the stub: one self-extractor of 20,000 tiny files (the
benchmark corpus's corpus/tiny layout: 200 bytes each in 200 folders)
written by mksfx three times, without a password, with the traditional
cipher (--encryption zipcrypto) and with AES-256 (the default), each
extracted into a fresh folder in interleaved rounds. The key derivation
(PBKDF2-HMAC-SHA1, 1000 iterations) runs once per member, since each
member has a salt of its own: nothing is cached across members.

  python3 bench/aes_cost.py --mksfx build/tools/mksfx/mksfx [--rounds 5] [--work DIR]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_corpus import prose, write_file  # noqa: E402

PASSWORD = "bench password"
VARIANTS = [("no password", []), ("traditional cipher", ["--encryption", "zipcrypto", "--password", PASSWORD]),
            ("AES-256", ["--password", PASSWORD])]


def make_tiny(root, folders=200, per_folder=100):
    rng = random.Random(20261208)
    for folder in range(folders):
        for i in range(per_folder):
            body = prose(rng, 160) + rng.randbytes(20).hex().encode()
            write_file(os.path.join(root, "tiny", "d%03d" % folder, "f%03d.txt" % i), body[:200])


def timed_extraction(program, folder):
    """Wall and user CPU seconds of one run in an empty folder; the password is
    typed once and, at the end of input, kept for every later member."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    os.sync()
    start = time.perf_counter()
    child = subprocess.Popen([program], cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
    child.stdin.write((PASSWORD + "\n").encode())
    child.stdin.close()
    errors = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if status != 0 or errors:
        raise SystemExit("%s failed: %r" % (program, errors[:300]))
    return wall, usage.ru_utime


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mksfx", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--work", help="scratch folder (default: a temporary one)")
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="sfx-aes-bench-")
    if not os.path.isdir(os.path.join(work, "tiny")):
        make_tiny(work)
    programs = []
    for label, options in VARIANTS:
        program = os.path.join(work, label.replace(" ", "-") + ".run")
        subprocess.run([args.mksfx, "-q", *options, "-o", program, os.path.join(work, "tiny")], check=True)
        programs.append((label, program))
    times = {label: [] for label, _ in programs}
    for round_number in range(args.rounds):
        rotation = programs[round_number % len(programs):] + programs[:round_number % len(programs)]
        for label, program in rotation:
            times[label].append(timed_extraction(program, os.path.join(work, "out")))
    print("| archive (20,000 members of 200 bytes) | median wall s | min | max | median user CPU s | per member ms |")
    print("|---|---:|---:|---:|---:|---:|")
    medians = {}
    for label, _ in programs:
        walls = [wall for wall, _ in times[label]]
        cpus = [cpu for _, cpu in times[label]]
        medians[label] = statistics.median(walls)
        print("| %s | %.2f | %.2f | %.2f | %.2f | %.3f |" % (label, medians[label], min(walls), max(walls),
                                                           statistics.median(cpus), medians[label] / 20.0))
    user = {label: statistics.median(cpu for _, cpu in times[label]) for label, _ in programs}
    print("\nAES-256 / traditional cipher: %.1f (wall), %.1f (user CPU)" % (
        medians["AES-256"] / medians["traditional cipher"], user["AES-256"] / user["traditional cipher"]))
    if not args.work:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
