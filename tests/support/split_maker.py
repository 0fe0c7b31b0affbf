#!/usr/bin/env python3
"""Builds spanned self-extractor sets (one file per floppy disk) for the tests.

zip_writer's SplitSet lays the set out as one byte stream and cuts it into
disks; this module makes sets from a folder (cut as a zip tool cuts them) and
from an Info-ZIP `zip -s` set (.z01, .z02, ..., .zip, the stub put in front
of the first file), and writes the disks out.

Command line:
  split_maker.py STUB FOLDER OUTDIR --disk-size N [--name setup]
  split_maker.py STUB --from-zip SET.zip OUTDIR [--name setup]
writes OUTDIR/disk1/NAME, OUTDIR/disk2/NAME, ...
"""
import argparse
import os
import random
import sys

from zip_writer import DEFLATED, STORED, SpannedMember, SplitSet, shift_spanned_offsets


def members_from_folder(folder):
    """Every file under folder, in sorted order: random data stored, the rest deflated."""
    members = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            method = STORED if name.endswith(".bin") else DEFLATED
            members.append(SpannedMember(os.path.relpath(path, folder).replace(os.sep, "/"), data, method))
    return members


def make_folder(folder, seed, text_files=6, random_files=5, text_size=200_000, random_size=400_000):
    """A nested folder of text and random files, the same for the same seed."""
    rng = random.Random(seed)
    words = "floppy segment drive archive member deflate stored cipher header directory".split()
    for i in range(text_files):
        sub = os.path.join(folder, "docs", "part%d" % (i % 3)) if i % 2 else os.path.join(folder, "docs")
        os.makedirs(sub, exist_ok=True)
        text = " ".join(rng.choice(words) for _ in range(text_size // 7))
        with open(os.path.join(sub, "notes%d.txt" % i), "w") as f:
            f.write(text)
    for i in range(random_files):
        sub = os.path.join(folder, "data", "set%d" % (i % 2))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "blob%d.bin" % i), "wb") as f:
            f.write(rng.randbytes(random_size + i * 1000))
    with open(os.path.join(folder, "README"), "w") as f:
        f.write("top-level file\n")


def zip_split_disk_files(zip_path):
    """The files of a zip -s set in disk order: name.z01, name.z02, ..., name.zip."""
    base = zip_path[:-4]
    files = []
    n = 1
    while os.path.exists("%s.z%02d" % (base, n)):
        files.append("%s.z%02d" % (base, n))
        n += 1
    return files + [zip_path]


def from_zip_split(stub, disk_files):
    """Self-extractor disks from the files of a zip -s set."""
    disks = []
    for path in disk_files:
        with open(path, "rb") as disk:
            disks.append(disk.read())
    return shift_spanned_offsets(stub, disks)


def write_disks(disks, outdir, name):
    paths = []
    for i, data in enumerate(disks, 1):
        folder = os.path.join(outdir, "disk%d" % i)
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o755)
        paths.append(path)
    return paths


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("stub")
    parser.add_argument("source", help="a folder, or with --from-zip the .zip of a zip -s set")
    parser.add_argument("outdir")
    parser.add_argument("--disk-size", type=int, default=1457664)
    parser.add_argument("--from-zip", action="store_true")
    parser.add_argument("--name", default="setup")
    args = parser.parse_args()
    stub = open(args.stub, "rb").read()
    if args.from_zip:
        disks = from_zip_split(stub, zip_split_disk_files(args.source))
    else:
        split_set = SplitSet(stub, members_from_folder(args.source))
        disks = split_set.disks(split_set.cuts_every(args.disk_size))
    for path in write_disks(disks, args.outdir, args.name):
        print(path)


if __name__ == "__main__":
    sys.exit(main())
