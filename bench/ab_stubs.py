#!/usr/bin/env python3
"""Compares builds of the stub on one archive: interleaved runs into tmpfs, medians.

  python3 bench/ab_stubs.py ARCHIVE.zip RUNS STUB_A STUB_B ...

Each stub gets a self-extractor of the archive (cat stub archive, zip -A);
round after round every one of them extracts into a fresh folder under
/dev/shm, so that file-system effects stay out of the comparison. Prints
the median wall time (and the minimum), the median user and system time, the
median peak RSS (by GNU time, when installed: the kernel's figure for a child
is never below that of this Python process) and each median wall time as a
ratio to the first stub's.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

GNU_TIME = "/usr/bin/time"


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    archive, runs, stubs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    base = tempfile.mkdtemp(dir="/dev/shm")
    try:
        programs = []
        for index, stub in enumerate(stubs):
            program = os.path.join(base, "stub%d.sfx" % index)
            with open(program, "wb") as out:
                for part in (stub, archive):
                    with open(part, "rb") as f:
                        shutil.copyfileobj(f, out)
            os.chmod(program, 0o755)
            subprocess.run(["zip", "-qA", program], check=True, stdin=subprocess.DEVNULL)
            programs.append(program)
        samples = [[] for _ in stubs]
        for round_number in range(runs):
            order = list(range(len(stubs)))
            if round_number % 2:
                order.reverse()
            for index in order:
                folder = tempfile.mkdtemp(dir=base)
                command = [programs[index]]
                rss_file = os.path.join(base, "rss")
                if os.path.exists(GNU_TIME):
                    command = [GNU_TIME, "-f", "%M", "-o", rss_file, "--"] + command
                start = time.perf_counter()
                child = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL)
                _, status, usage = os.wait4(child.pid, 0)
                wall = time.perf_counter() - start
                if status != 0:
                    print("%s failed with status %d" % (stubs[index], status), file=sys.stderr)
                    return 1
                rss = usage.ru_maxrss
                if os.path.exists(rss_file):
                    with open(rss_file) as f:
                        rss = int(f.read().split()[-1])
                samples[index].append((wall, usage.ru_utime, usage.ru_stime, rss))
                shutil.rmtree(folder)
        first = statistics.median(v[0] for v in samples[0])
        for stub, values in zip(stubs, samples):
            wall = statistics.median(v[0] for v in values)
            print("%-40s wall %7.1f ms (min %7.1f)  user %6.1f  sys %6.1f  rss %6.0f KiB  x %.3f"
                  % (stub, 1000 * wall, 1000 * min(v[0] for v in values),
                     1000 * statistics.median(v[1] for v in values), 1000 * statistics.median(v[2] for v in values),
                     statistics.median(v[3] for v in values), wall / first))
        return 0
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
