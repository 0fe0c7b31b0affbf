#!/usr/bin/env python3
"""Sweeps over damaged copies of one small self-extractor: every truncation
from the stub's end to the full size, then seeded random byte flips and
random 4-byte overwrites at header fields. Every run must end within its
time limit with status 0 or 1 (1 with a message), never by a signal, and
write nothing outside its extraction folder.

usage: test_sweeps.py STUB [--flips N] [--overwrites N] [--seed S] [--jobs J]
                            [--truncation-step N] [--valgrind]
"""
import argparse
import concurrent.futures
import os
import random
import struct
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sfxrun import Scratch, check_run  # noqa: E402
from zip_writer import CENTRAL_SIGNATURE, END_SIGNATURE, LOCAL_SIGNATURE, Member, build  # noqa: E402

TEXT = b"All work and no play makes a dull archive.\n" * 12
PASSWORD_ANSWERS = b"pw\n" * 6
TIME_LIMIT = 60
VALGRIND = ("valgrind", "-q", "--error-exitcode=99", "--exit-on-first-error=yes")

# Field start offsets within each header, after the signature's 4 bytes.
LOCAL_FIELDS = (4, 6, 8, 10, 12, 14, 18, 22, 26, 28)
CENTRAL_FIELDS = (4, 6, 8, 10, 12, 14, 16, 20, 24, 28, 30, 32, 34, 36, 38, 42)
END_FIELDS = (4, 6, 8, 10, 12, 16, 20)
SIGNATURES = {LOCAL_SIGNATURE: LOCAL_FIELDS, CENTRAL_SIGNATURE: CENTRAL_FIELDS, END_SIGNATURE: END_FIELDS}


def sample_archive(prefix):
    return build([Member("folder/", b""), Member("folder/stored.txt", b"stored\n"),
                  Member("deflated.txt", TEXT, method=8),
                  Member("locked.txt", TEXT, method=8, password="pw")], prefix=prefix)


def header_fields(image, start):
    """Absolute offsets of every header field at or after start."""
    offsets = []
    for signature, fields in SIGNATURES.items():
        at = image.find(signature, start)
        while at >= 0:
            offsets += [at + field for field in fields]
            at = image.find(signature, at + 1)
    return sorted(offsets)


def mutants(image, stub_size, flips, overwrites, seed):
    """(label, bytes) of each damaged copy, reproducible from seed."""
    chooser = random.Random(seed)
    fields = header_fields(image, stub_size)
    for number in range(flips):
        damaged = bytearray(image)
        at = chooser.randrange(stub_size, len(image))
        damaged[at] ^= chooser.randrange(1, 256)
        yield "flip %d at %d" % (number, at), bytes(damaged)
    interesting = (0, 1, 0x7FFF, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, len(image), stub_size)
    for number in range(overwrites):
        damaged = bytearray(image)
        at = chooser.choice(fields)
        value = chooser.choice(interesting) if chooser.random() < 0.5 else chooser.getrandbits(32)
        value = (value + chooser.randrange(-2, 3)) & 0xFFFFFFFF
        damaged[at:at + 4] = struct.pack("<I", value)[:len(damaged) - at]
        yield "overwrite %d at %d with %#x" % (number, at, value), bytes(damaged[:len(image)])


class Runner:
    """Runs images in one scratch tree per worker thread."""

    def __init__(self, wrapper=()):
        self.wrapper = wrapper
        self.local = threading.local()
        self.scratches = []
        self.lock = threading.Lock()

    def scratch(self):
        if not hasattr(self.local, "scratch"):
            self.local.scratch = Scratch()
            with self.lock:
                self.scratches.append(self.local.scratch)
        return self.local.scratch

    def check(self, label, image, expect_failure=False):
        scratch = self.scratch()
        status, out, err = scratch.run(image, stdin=PASSWORD_ANSWERS, timeout=TIME_LIMIT, wrapper=self.wrapper)
        problems = check_run(scratch, status, label)
        if status == 1 and not (out.strip() or err.strip()):
            problems.append("%s: status 1 without a message" % label)
        if expect_failure and status != 1:
            problems.append("%s: status %s, expected 1" % (label, status))
        return problems

    def close(self):
        for scratch in self.scratches:
            scratch.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("stub")
    parser.add_argument("--flips", type=int, default=2000)
    parser.add_argument("--overwrites", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=8)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--truncation-step", type=int, default=1)
    parser.add_argument("--valgrind", action="store_true", help="run each copy under valgrind memcheck")
    options = parser.parse_args()
    with open(options.stub, "rb") as source:
        stub = source.read()
    image = sample_archive(stub)

    runner = Runner(VALGRIND if options.valgrind else ())
    failures = []
    try:
        sound = runner.scratch()
        status, _, err = sound.run(image, stdin=PASSWORD_ANSWERS, timeout=TIME_LIMIT)
        expected = ["deflated.txt", "folder/stored.txt", "locked.txt"]
        if status != 0 or sound.extracted() != expected:
            failures.append("the undamaged archive: status %s, files %r, %r" % (status, sound.extracted(), err))
        jobs = [("truncated to %d" % length, image[:length], True) for length in
                range(len(stub), len(image), options.truncation_step)]
        truncations = len(jobs)
        jobs += [(label, damaged, False)
                 for label, damaged in mutants(image, len(stub), options.flips, options.overwrites, options.seed)]
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            for problems in pool.map(lambda job: runner.check(*job), jobs):
                failures += problems
    finally:
        runner.close()
    print("%d truncations, %d byte flips, %d 4-byte overwrites (seed %d): %d failures" %
          (truncations, options.flips, options.overwrites, options.seed, len(failures)))
    for failure in failures[:50]:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
