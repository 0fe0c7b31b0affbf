#!/usr/bin/env python3
"""check_signatures.py STUB... - no stub holds the bytes of a local header's or
an end record's signature: tools that look for the archive in a
self-extractor (7-Zip by the first local header, every reader by the last end
record) would take the stub's own bytes for it."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zip_writer import END_SIGNATURE, LOCAL_SIGNATURE  # noqa: E402

SIGNATURES = {"local header": LOCAL_SIGNATURE, "end record": END_SIGNATURE}


def main():
    failed = 0
    for path in sys.argv[1:]:
        with open(path, "rb") as stub:
            data = stub.read()
        for what, signature in SIGNATURES.items():
            at = data.find(signature)
            if at >= 0:
                print("FAIL %s holds the %s signature at %d" % (path, what, at))
                failed += 1
    print("%d passed, %d failed" % (len(sys.argv[1:]) * len(SIGNATURES) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
