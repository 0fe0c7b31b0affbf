"""A small member costs the static Linux stub (--linux-stub) at most 6 system
calls: counted with strace, a 101-member archive less a 1-member one
(start-up and end alike), output to /dev/null as in a redirected run.
Skipped where strace is missing."""
import os
import shutil
import subprocess
import tempfile

import pytest
from zip_writer import Member, build

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


def test_system_calls_a_member(options, folder):
    if shutil.which("strace") is None:
        pytest.skip("no strace")
    assert options.linux_stub, "--linux-stub is needed"
    members = [Member("d%d/f%03d.txt" % (n // 20, n), b"tiny file %d\n" % n * 10, method=8, version_made_by=0x314,
                      external=UNIX_FILE) for n in range(101)]
    one, many = (system_calls(options.linux_stub, chosen, folder) for chosen in (members[:1], members))
    per_member = (many - one) / 100
    assert per_member <= BUDGET, "%d system calls for 1 member, %d for 101: %.2f a member" % (one, many, per_member)
