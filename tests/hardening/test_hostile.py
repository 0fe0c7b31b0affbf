#!/usr/bin/env python3
"""Hostile archives: each built byte by byte, appended to the stub and run;
each must end with its expected message and exit status, show member names
without control bytes, and write nothing outside the extraction folder.

usage: test_hostile.py STUB            the Linux stub
       test_hostile.py --wine STUB     a Windows stub under wine64
       test_hostile.py --valgrind STUB the Linux stub under valgrind memcheck
       test_hostile.py --table STUB    also prints the outcomes as a Markdown table
"""
import os
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sfxrun import Scratch, check_run  # noqa: E402
from zipbuild import Member, build  # noqa: E402


OUTSIDE = "would be written outside the current directory. This file will not be unzipped."
UNEXPECTED_END = "Unexpected end of file reached. The zip archive may be corrupted."
ESCAPE_NAME = "\x1b[2J\x1b]0;owned\x07name\x7f.txt"
ESCAPE_SHOWN = "?[2J?]0;owned?name?.txt"


def never_ending_deflate():
    """Deflate blocks with no final block: the stream never ends."""
    squeezer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return squeezer.compress(b"x" * 5000) + squeezer.flush(zlib.Z_SYNC_FLUSH) + b"\x00\x00\x00\xff\xff" * 200


# Each archive is a function of the bytes before it (the stub).
def many_entries(count):
    """count entries: a file, count - 2 entries of one folder, and a file
    in that folder that uses the first file's data (local headers are
    found from the central name's length, so both names are as long)."""
    shared = [Member("dir/", b"") for _ in range(count - 2)] + [Member("dir/last.txt", b"z")]
    return lambda prefix: build([Member("firstone.txt", b"z")], prefix=prefix, central_only=shared)


def one(name, data=b"x", **fields):
    return lambda prefix: build([Member(name, data, **fields)], prefix=prefix)


def archive(members, **options):
    return lambda prefix: build(members, prefix=prefix, **options)


def overlapping():
    """Three entries reading the one member's data."""
    shared = [Member(name, b"shared data") for name in ("b.txt", "c.txt")]
    return archive([Member("a.txt", b"shared data")], central_only=shared)


def link_to_dev_full(work):
    os.symlink("/dev/full", os.path.join(work, "full.txt"))


# name, archive, stdin, expected status, texts expected on stdout+stderr,
# files expected in the extraction folder (None: not checked), set-up.
COMMON_CASES = [
    ("dot-dot", one("../evil.txt"), b"", 1, ["Error: ../evil.txt " + OUTSIDE], [], None),
    ("dot-dot deep", one("a/b/../../../evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("dot-dot after dot", one("./../evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("dot-dot folder entry", one("../evil/", b""), b"", 1, [OUTSIDE], [], None),
    ("drive and slash", one("C:/evil.txt"), b"", 1, ["Error: C:/evil.txt " + OUTSIDE], [], None),
    ("NUL then dot-dot", one(b"good.txt\0/../../../evil.txt"), b"", 0, ["Inflating: good.txt...done"],
     ["good.txt"], None),
    ("dot-dot then NUL", one(b"..\0/safe/"), b"", 1, [OUTSIDE], [], None),
    ("directory offset past the end", archive([Member("a.txt", b"abc")], directory_offset=10**7), b"", 1,
     [UNEXPECTED_END, "Error: Unable to open the zip archive"], [], None),
    ("directory offset 0xFFFFFFFF", archive([Member("a.txt", b"abc")], directory_offset=0xFFFFFFFF), b"", 1,
     ["Error: Unable to open the zip archive"], [], None),
    ("local header past the end", one("a.txt", b"abc", local_offset=10**7), b"", 1,
     ["Error: " + UNEXPECTED_END], None, None),
    ("local header at 0xFFFFFFFF", one("a.txt", b"abc", local_offset=0xFFFFFFFF), b"", 1,
     ["Error: " + UNEXPECTED_END], None, None),
    ("stored size 0xFFFFFFFF", one("a.txt", b"abc", compressed_size=0xFFFFFFFF), b"", 1,
     ["Error: " + UNEXPECTED_END], None, None),
    ("deflated size 0xFFFFFFFF", one("a.txt", b"abc" * 99, method=8, compressed_size=0xFFFFFFFF), b"", 1,
     ["Error: buffer error."], None, None),
    ("uncompressed size 0xFFFFFFFF", one("a.txt", b"abc", uncompressed_size=0xFFFFFFFF), b"", 0,
     ["Inflating: a.txt...done"], ["a.txt"], None),
    ("overlapping members", overlapping(), b"", 0, [], ["a.txt", "b.txt", "c.txt"], None),
    ("encrypted, shorter than its header", one("e.txt", b"", password="pw", payload=b"12345"), b"pw\n", 1,
     ["Error: e.txt is too short to be encrypted. The zip archive may be corrupted."], [], None),
    ("deflate stream that never ends", one("n.txt", b"x" * 5000, method=8, payload=never_ending_deflate()),
     b"", 1, ["Error: buffer error."], None, None),
    ("terminal controls, password prompt", one(ESCAPE_NAME, b"secret", password="pw"), b"no\n", 0,
     ["Please enter the password for %s: " % ESCAPE_SHOWN], [], None),
    ("terminal controls, unknown method", one(ESCAPE_NAME, method=99), b"", 1,
     ["Unknown compression type for %s." % ESCAPE_SHOWN], [], None),
    ("terminal controls, refused name", one("../\x1b[31m.txt"), b"", 1, ["Error: ../?[31m.txt " + OUTSIDE],
     [], None),
    ("write to a full disk", one("full.txt", bytes(30000)), b"", 1, ["Error while writing output file."],
     None, link_to_dev_full),
    ("disk prompt at end of input", archive([Member("s.txt", b"s", disk=1)], this_disk=1), b"", 1,
     ["Please insert segment 1 into drive A and press enter.", "User aborted."], [], None),
    ("password prompt at end of input", one("p.txt", b"secret", password="pw"), b"", 0,
     ["Sorry, you did not enter a valid password. This file will not be unzipped."], [], None),
]

POSIX_CASES = [
    ("absolute path", one("/abs/evil.txt"), b"", 0, ["Inflating: /abs/evil.txt...done"], ["abs/evil.txt"], None),
    ("backslash dot-dot (a plain name here)", one("..\\evil.txt"), b"", 0, [], ["..\\evil.txt"], None),
    ("terminal controls in a name", one(ESCAPE_NAME), b"", 0, ["Inflating: %s...done" % ESCAPE_SHOWN],
     [ESCAPE_NAME], None),
    ("65535 entries", many_entries(65535), b"", 0, ["Inflating: dir/last.txt...done"],
     ["dir/last.txt", "firstone.txt"], None),
]

WINE_TOO = ("dot-dot", "drive and slash", "terminal controls, refused name", "encrypted, shorter than its header")

WINDOWS_CASES = [
    ("backslash dot-dot", one("..\\evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("backslash deep", one("a\\..\\..\\evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("leading backslash", one("\\abs\\evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("drive, no separator", one("C:evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("drive and backslash", one("C:\\evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("dots and blanks", one(".. /evil.txt"), b"", 1, [OUTSIDE], [], None),
    ("three dots", one(".../evil.txt"), b"", 1, [OUTSIDE], [], None),
    # Windows refuses control characters in file names.
    ("terminal controls in a name", one(ESCAPE_NAME), b"", 1,
     ["Inflating: %s..." % ESCAPE_SHOWN, "Error opening %s for output" % ESCAPE_SHOWN], [], None),
]


# Any invalid read or write, or use of an undefined value, ends with status
# 99, which fails the status check.
VALGRIND = ("valgrind", "-q", "--error-exitcode=99", "--exit-on-first-error=yes")


def control_bytes(text):
    return [c for c in text if c < 0x20 and c not in (0x0A, 0x0D)] + [c for c in text if c == 0x7F]


def table_row(name, status, out, err, problems):
    """One Markdown row: the case, its status and the last line it printed."""
    lines = [line for line in (err or out).decode("latin-1").replace("\r", "").split("\n") if line.strip()]
    shown = lines[-1] if lines else "(nothing)"
    return "| %s | %s | `%s` | %s |" % (name, status, shown.replace("|", "\\|"), "FAIL" if problems else "pass")


def run_cases(stub, cases, wine=None, prefix=None, wrapper=(), table=None):
    with open(stub, "rb") as source:
        stub_bytes = source.read()
    scratch = Scratch(wine_prefix=prefix)
    failures = []
    try:
        for name, make, stdin, status, texts, files, prepare in cases:
            got, out, err = scratch.run(make(stub_bytes), stdin=stdin, wine=wine, timeout=120, prepare=prepare,
                                        wrapper=wrapper)
            output = out.decode("latin-1") + err.decode("latin-1")
            problems = check_run(scratch, got, name)
            if got != status:
                problems.append("%s: status %s, expected %d" % (name, got, status))
            problems += ["%s: missing %r" % (name, text) for text in texts if text not in output]
            if control_bytes(out + err):
                problems.append("%s: control bytes on the console" % name)
            if files is not None and scratch.extracted() != sorted(files):
                problems.append("%s: extracted %r, expected %r" % (name, scratch.extracted(), files))
            print("%-40s status %s %s" % (name, got, "FAIL" if problems else "ok"))
            if table is not None:
                table.append(table_row(name, got, out, err, problems))
            if problems:
                print("   stdout %r\n   stderr %r" % (out[:300], err[:300]))
            failures += problems
    finally:
        scratch.close()
    return failures


def main():
    arguments = sys.argv[1:]
    if arguments[0] == "--wine":
        from stub_runner import prepare_wine_prefix, wine_binary
        prefix = prepare_wine_prefix(os.path.join(os.getcwd(), "wine-hardening"))
        # Wine starts slowly: the Windows spellings and a few others only.
        chosen = [case for case in COMMON_CASES if case[0] in WINE_TOO] + WINDOWS_CASES
        failures = run_cases(arguments[1], chosen, wine=wine_binary(), prefix=prefix)
    elif arguments[0] == "--valgrind":
        failures = run_cases(arguments[1], COMMON_CASES + POSIX_CASES, wrapper=VALGRIND)
    elif arguments[0] == "--table":
        table = ["| case | status | last line shown | verdict |", "|---|---|---|---|"]
        failures = run_cases(arguments[1], COMMON_CASES + POSIX_CASES, table=table)
        print("\n".join(table))
    else:
        failures = run_cases(arguments[0], COMMON_CASES + POSIX_CASES)
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
