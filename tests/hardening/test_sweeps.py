"""Sweeps over damaged copies of one small self-extractor: every
--truncation-step'th truncation from the stub's end to the full size, then
--flips seeded random byte flips and --overwrites random 4-byte overwrites
at header fields. Every run must end within its time limit with status 0
or 1 (1 with a message), never by a signal, and write nothing outside its
extraction folder.
"""
import random
import struct

import pytest
from zip_writer import CENTRAL_SIGNATURE, END_SIGNATURE, LOCAL_SIGNATURE, Member, build

TEXT = b"All work and no play makes a dull archive.\n" * 12
PASSWORD_ANSWERS = b"pw\n" * 6
TIME_LIMIT = 60
BLOCK = 250  # copies a test

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


def damages(image, stub_size, option):
    """{sweep: [(label, length, offset, replacement bytes)]} of the damaged
    copies, reproducible from the seed."""
    sweeps = {"truncations": [("truncated to %d" % length, length, 0, b"")
                              for length in range(stub_size, len(image), option.truncation_step)],
              "flips": [], "overwrites": []}
    chooser = random.Random(option.seed)
    fields = header_fields(image, stub_size)
    for number in range(option.flips):
        at = chooser.randrange(stub_size, len(image))
        sweeps["flips"].append(("flip %d at %d" % (number, at), len(image), at,
                                bytes([image[at] ^ chooser.randrange(1, 256)])))
    interesting = (0, 1, 0x7FFF, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, len(image), stub_size)
    for number in range(option.overwrites):
        at = chooser.choice(fields)
        value = chooser.choice(interesting) if chooser.random() < 0.5 else chooser.getrandbits(32)
        value = (value + chooser.randrange(-2, 3)) & 0xFFFFFFFF
        sweeps["overwrites"].append(("overwrite %d at %d with %#x" % (number, at, value), len(image), at,
                                     struct.pack("<I", value)[:len(image) - at]))
    return sweeps


def pytest_generate_tests(metafunc):
    """Each sweep in blocks of copies: a test per copy costs more than the
    run itself, but under valgrind, where a run takes a second, each copy is
    a test of its own."""
    if "copies" in metafunc.fixturenames:
        option = metafunc.config.option
        with open(option.stub, "rb") as stub:
            prefix = stub.read()
        size = 1 if option.valgrind else BLOCK
        blocks, ids = [], []
        for sweep, copies in damages(sample_archive(prefix), len(prefix), option).items():
            for start in range(0, len(copies), size):
                blocks.append(copies[start:start + size])
                ids.append("%s %d-%d of %d" % (sweep, start, start + len(blocks[-1]) - 1, len(copies)))
        metafunc.parametrize("copies", blocks, ids=ids)


@pytest.fixture(scope="module")
def image(stub):
    return sample_archive(stub)


def test_undamaged(image, shared_scratch):
    status, _, err = shared_scratch.run(image, stdin=PASSWORD_ANSWERS, timeout=TIME_LIMIT)
    assert (status, shared_scratch.extracted()) == (0, ["deflated.txt", "folder/stored.txt", "locked.txt"]), err


def test_damaged(copies, image, shared_scratch):
    failures = []
    for label, length, at, replacement in copies:
        damaged = image[:at] + replacement + image[at + len(replacement):length]
        status, out, err = shared_scratch.run(damaged, stdin=PASSWORD_ANSWERS, timeout=TIME_LIMIT)
        problems = shared_scratch.complaints(status)
        if status == 1 and not (out.strip() or err.strip()):
            problems.append("status 1 without a message")
        if length < len(image) and status != 1:
            problems.append("status %s, expected 1" % status)
        failures += ["%s: %s" % (label, problem) for problem in problems]
    assert not failures, "%d problems in %d copies:\n%s" % (len(failures), len(copies), "\n".join(failures[:50]))
