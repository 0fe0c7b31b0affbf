#!/usr/bin/env python3
"""Builds spanned self-extractor sets (one file per floppy disk) for the tests.

The whole set is laid out as one byte stream - the stub, every member's local
header and data, the central directory, the end record - and then cut into
disks at chosen stream positions, so a test can put a disk boundary exactly
where it wants one (inside a member's data, inside an encryption header,
right after a central header, inside a signature).  Every offset is written
as the stub expects it: counted within the disk file that holds the thing it
points to, disk 1's offsets including the stub in front.

It also turns an Info-ZIP `zip -s` set (.z01, .z02, ..., .zip) into
self-extractor disks by putting the stub in front of the first file.

Command line:
  split_maker.py STUB FOLDER OUTDIR --disk-size N [--name setup]
  split_maker.py STUB --from-zip SET.zip OUTDIR [--name setup]
writes OUTDIR/disk1/NAME, OUTDIR/disk2/NAME, ...
"""
import argparse
import os
import random
import struct
import sys
import zlib

from zip_writer import (CENTRAL_HEADER_SIZE, CENTRAL_SIGNATURE, DEFLATED, END_RECORD_SIZE, END_SIGNATURE,
                        LOCAL_HEADER_SIZE, STORED, add_to_field, central_header, central_header_length, data_descriptor,
                        encrypt, end_record, local_header)

DOS_TIME, DOS_DATE = 0x6000, 0x5A88  # 12:00:00 on 8 Dec 2025
DESCRIPTOR_SIZE = 16


class Member:
    """One file of the set; payload is its data as it lies in the archive."""

    def __init__(self, name, data, method=DEFLATED, password=None, comment=b"", extra=b"", descriptor=False):
        self.name = name.encode() if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.password = password.encode() if isinstance(password, str) else password
        self.comment = comment
        self.extra = extra
        self.descriptor = descriptor  # a 16-byte data descriptor follows the data
        self.flags = (1 if password is not None else 0) | (8 if descriptor else 0)
        self.crc = zlib.crc32(data)
        payload = data
        if method == DEFLATED:
            packer = zlib.compressobj(6, zlib.DEFLATED, -15)
            payload = packer.compress(data) + packer.flush()
        if self.password is not None:
            check = DOS_TIME >> 8 if descriptor else self.crc >> 24
            filler = bytes(random.Random(len(data)).randrange(256) for _ in range(11))
            payload = encrypt(payload, self.password, check, filler)
        self.payload = payload

    def header_fields(self):
        """The fields its local and central headers share."""
        return dict(version_needed=20, flags=self.flags, method=self.method, time=DOS_TIME, date=DOS_DATE,
                    crc=self.crc, compressed_size=len(self.payload), uncompressed_size=len(self.data))


class SplitSet:
    """The stream layout of a set; positions count from the stub's first byte.

    After construction: header_at[i], data_at[i], data_end[i] for member i,
    central_at[i] and central_end[i] for its central header, directory_at,
    end_at (the end record) and total.
    """

    def __init__(self, stub, members, archive_comment=b""):
        self.stub = stub
        self.members = members
        self.archive_comment = archive_comment
        self.header_at, self.data_at, self.data_end = [], [], []
        self.central_at, self.central_end = [], []
        position = len(stub)
        for m in members:
            self.header_at.append(position)
            position += LOCAL_HEADER_SIZE + len(m.name) + len(m.extra)
            self.data_at.append(position)
            position += len(m.payload)
            self.data_end.append(position)
            position += DESCRIPTOR_SIZE if m.descriptor else 0
        self.directory_at = position
        for m in members:
            self.central_at.append(position)
            position += CENTRAL_HEADER_SIZE + len(m.name) + len(m.extra) + len(m.comment)
            self.central_end.append(position)
        self.end_at = position
        self.total = position + END_RECORD_SIZE + len(archive_comment)

    def disks(self, cuts):
        """The disk files' contents; cuts are the stream positions where disks 2, 3, ... begin."""
        cuts = sorted(cuts)
        if any(c <= 0 or c > self.end_at for c in cuts) or len(set(cuts)) != len(cuts):
            raise ValueError("every cut must lie inside the set, before the end record")
        starts = [0] + cuts

        def where(position):
            disk = sum(1 for c in cuts if c <= position)
            return disk, position - starts[disk]

        out = bytearray(self.stub)
        for m in self.members:
            out += local_header(m.name, m.extra, **m.header_fields()) + m.payload
            if m.descriptor:
                out += data_descriptor(m.crc, len(m.payload), len(m.data))
        for m, at in zip(self.members, self.header_at):
            disk, offset = where(at)
            out += central_header(m.name, m.extra, 20, **m.header_fields(), local_offset=offset, disk=disk,
                                  comment=m.comment)
        last_disk = len(cuts)
        directory_disk, directory_offset = where(self.directory_at)
        on_last = sum(1 for at in self.central_at if where(at)[0] == last_disk)
        out += end_record(len(self.members), self.end_at - self.directory_at, directory_offset, self.archive_comment,
                          last_disk, directory_disk, entries_here=on_last)
        assert len(out) == self.total
        return [bytes(out[a:b]) for a, b in zip(starts, cuts + [self.total])]

    def cuts_every(self, disk_size, first_disk_size=None):
        """Cuts for disks of at most disk_size bytes (the first of first_disk_size), as a zip
        tool makes them: no local or central header and no end record is split; such a
        record starts the next disk."""
        headers = [(a, d) for a, d in zip(self.header_at, self.data_at)]
        headers += list(zip(self.central_at, self.central_end)) + [(self.end_at, self.total)]
        cuts, start = [], 0
        size = first_disk_size or disk_size
        while self.total - start > size:
            cut = start + size
            size = disk_size
            for begin, end in headers:
                if begin < cut < end:
                    cut = begin
            if cut <= start:
                raise ValueError("a record does not fit on one disk")
            cuts.append(cut)
            start = cut
        return cuts


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
            members.append(Member(os.path.relpath(path, folder).replace(os.sep, "/"), data, method))
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
    """Self-extractor disks from a zip -s set: the stub goes in front of disk 1 and
    every offset into disk 1 moves by the stub's length."""
    disks = [bytearray(open(f, "rb").read()) for f in disk_files]
    disks[0][0:0] = stub
    shift = len(stub)
    last = disks[-1]
    end = last.rfind(END_SIGNATURE)
    if end < 0:
        raise ValueError("no end record on the last disk")
    this_disk, directory_disk, _, total, _, directory_offset = struct.unpack_from("<HHHHII", last, end + 4)
    if this_disk != len(disks) - 1:
        raise ValueError("end record says disk %d of %d files" % (this_disk, len(disks)))
    if directory_disk == 0:
        directory_offset += shift
        add_to_field(last, end + 16, "<I", shift)
    disk, position = directory_disk, directory_offset
    for _ in range(total):
        if position >= len(disks[disk]):  # Info-ZIP never splits a central header
            disk, position = disk + 1, 0
        header = disks[disk]
        if header[position:position + 4] != CENTRAL_SIGNATURE:
            raise ValueError("no central header at disk %d offset %d" % (disk, position))
        (start_disk,) = struct.unpack_from("<H", header, position + 34)
        if start_disk == 0:
            add_to_field(header, position + 42, "<I", shift)
        position += central_header_length(header, position)
    return [bytes(d) for d in disks]


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
