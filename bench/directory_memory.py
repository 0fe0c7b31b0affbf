#!/usr/bin/env python3
"""Peak memory of the stub on a directory of many members.

Makes COUNT small files in 100 folders (names like many/d042/f0042123.txt),
archives them with `zip -r` (which writes its time and owner extra fields
for every member, and a Zip64 end record past 65,535 entries), appends the
archive to the stub with plain cat, and extracts it into a fresh folder
under GNU time. The whole directory stays in memory for the run, so the
peak RSS grows with the member count; the target is 16 MiB for 100,000.

  python3 bench/directory_memory.py --stub build/sfxstub
  python3 bench/directory_memory.py --stub build/sfxstub --count 20000 --data /dev/shm/sfx-memory
"""
import argparse
import os
import shutil
import subprocess
import sys

TARGET_KIB = 16 * 1024
GNU_TIME = "/usr/bin/time"


def make_tree(root, count):
    per_folder = max(1, count // 100)
    for index in range(count):
        folder = os.path.join(root, "many", "d%03d" % (index // per_folder))
        if index % per_folder == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%07d.txt" % index), "wb") as out:
            out.write(b"%d\n" % index)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stub", required=True)
    parser.add_argument("--count", type=int, default=100000)
    parser.add_argument("--data", default="/var/tmp/sfxstub-memory", help="scratch folder (emptied first)")
    parser.add_argument("--runs", type=int, default=3)
    options = parser.parse_args()
    if not os.path.exists(GNU_TIME):
        sys.exit("needs GNU time at %s (Debian: apt-get install time)" % GNU_TIME)
    shutil.rmtree(options.data, ignore_errors=True)
    source = os.path.join(options.data, "source")
    make_tree(source, options.count)
    archive = os.path.join(options.data, "many.zip")
    subprocess.run(["zip", "-qr", archive, "many"], cwd=source, check=True)
    program = os.path.join(options.data, "many.run")
    with open(options.stub, "rb") as stub, open(archive, "rb") as members, open(program, "wb") as out:
        out.write(stub.read() + members.read())
    os.chmod(program, 0o755)
    peaks = []
    for run in range(options.runs):
        target = os.path.join(options.data, "out%d" % run)
        os.makedirs(target)
        done = subprocess.run([GNU_TIME, "-f", "%M", program], cwd=target, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        lines = done.stderr.strip().split("\n")
        if done.returncode != 0:
            sys.exit("the stub failed (%d): %s" % (done.returncode, "\n".join(lines[-5:])))
        extracted = sum(len(files) for _, _, files in os.walk(os.path.join(target, "many")))
        if extracted != options.count:
            sys.exit("the stub extracted %d files of %d" % (extracted, options.count))
        peaks.append(int(lines[-1]))
        shutil.rmtree(target)
    peak = max(peaks)
    print("%d members (zip -r, archive %d bytes): peak RSS %d KiB (%.2f MiB) over %d runs, target < %d KiB: %s"
          % (options.count, os.path.getsize(archive), peak, peak / 1024, options.runs, TARGET_KIB,
             "met" if peak < TARGET_KIB else "MISSED"))
    shutil.rmtree(options.data, ignore_errors=True)
    return 0 if peak < TARGET_KIB else 1


if __name__ == "__main__":
    sys.exit(main())
