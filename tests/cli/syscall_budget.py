#!/usr/bin/env python3
"""syscall_budget.py STUB - a small member costs the static Linux stub at most
6 system calls: counted with strace, a 101-member archive less a 1-member one
(start-up and end alike), output to /dev/null as in a redirected run. Exits 77
(skipped) where strace is missing."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zip_writer import Member, build  # noqa: E402

BUDGET = 6
UNIX_FILE = 0o100644 << 16  # as zip -r stores a file made with umask 022


def system_calls(stub, members, work):
    program = os.path.join(work, "setup-%d" % len(members))
    with open(stub, "rb") as source, open(program, "wb") as image:
        image.write(build(members, prefix=source.read()))
    os.chmod(program, 0o755)
    out = tempfile.mkdtemp(dir=work)
    trace = os.path.join(work, "trace")
    subprocess.run(["strace", "-f", "-o", trace, program], cwd=out, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True)
    with open(trace) as lines:
        return sum(1 for line in lines if "(" in line and "resumed>" not in line)


def main():
    if shutil.which("strace") is None:
        print("skipped: no strace")
        return 77
    members = [Member("d%d/f%03d.txt" % (n // 20, n), b"tiny file %d\n" % n * 10, method=8, version_made_by=0x314,
                      external=UNIX_FILE) for n in range(101)]
    with tempfile.TemporaryDirectory() as work:
        one, many = system_calls(sys.argv[1], members[:1], work), system_calls(sys.argv[1], members, work)
    per_member = (many - one) / 100
    print("%d system calls for 1 member, %d for 101: %.2f a member (budget %d)" % (one, many, per_member, BUDGET))
    return 0 if per_member <= BUDGET else 1


if __name__ == "__main__":
    sys.exit(main())
