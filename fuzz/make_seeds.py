#!/usr/bin/env python3
"""Writes the fuzz seed corpus (fuzz/seeds/TARGET/*): small archives of
every kind the stub reads. Inputs of the directory and extraction targets
start with one byte giving the length of the answers typed at the prompts,
then those answers; end-record inputs start with two bytes that choose the
search's lower bound."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from zip_writer import Member, build, zip64_extra  # noqa: E402

TEXT = b"The quick brown fox jumps over the lazy dog.\n" * 20
ONES = 0xFFFFFFFF
LOCATOR_LIKE = b"PK\x06\x07" + bytes(4) + (40).to_bytes(8, "little") + (1).to_bytes(4, "little")

ARCHIVES = {
    "stored": (build([Member("a.txt", b"hello\n")]), b""),
    "deflated": (build([Member("text.txt", TEXT, method=8)]), b""),
    "folders": (build([Member("dir/", b""), Member("dir/sub/b.txt", b"b", method=8),
                       Member("dir/c.txt", b"")], comment=b"a comment"), b""),
    "encrypted": (build([Member("secret.txt", TEXT, method=8, password="pw")]), b"pw\n"),
    "encrypted_stored": (build([Member("s.bin", bytes(range(64)), password="pw")]), b"wrong\npw\n"),
    "prefixed": (build([Member("p.txt", b"after a program", method=8)], prefix=b"\x7fELF" + bytes(60)), b""),
    "mode": (build([Member("run.sh", b"#!/bin/sh\n", version_made_by=0x314, external=0o755 << 16)]), b""),
    "segments": (build([Member("seg.txt", b"segment", disk=1)], this_disk=1), b"\n\n\n"),
    "aes256_deflated": (build([Member("aes.txt", TEXT, method=8, password="pw", aes=3)]), b"pw\n"),
    "aes128_stored_ae1": (build([Member("a1.bin", bytes(range(64)), password="pw", aes=1, aes_version=1),
                                 Member("plain.txt", b"plain")]), b"wrong\npw\n"),
    "aes192_mixed": (build([Member("z.txt", b"zipcrypto", password="pw"), Member("y.txt", TEXT, method=8, password="pw",
                                                                                aes=2)]), b"pw\n"),
    "zip64": (build([Member("z.txt", TEXT, method=8, uncompressed_size=ONES, local_offset=ONES,
                            central_extra=zip64_extra(len(TEXT), 0)), Member("after.txt", b"after")], zip64={}), b""),
    "zip64_prefixed": (b"\x7fELF" + bytes(60) + build([Member("p.txt", b"cat", compressed_size=ONES,
                                                                central_extra=zip64_extra(3))], zip64={}), b""),
    "zip64_locator_outside": (build([Member("a.txt", b"a")], zip64={"locator_offset": 1 << 40}), b""),
    "zip64_extra_short": (build([Member("s.txt", b"s", compressed_size=ONES, uncompressed_size=ONES,
                                        central_extra=zip64_extra(1))]), b""),
    "zip64_size_overflow": (build([Member("w.txt", b"w", compressed_size=ONES, local_offset=ONES,
                                          central_extra=zip64_extra(2**63 - 1, 2**63 - 1))]), b""),
    # Zip64 records that other readers accept: every end-record field all
    # ones (disks too), a locator's signature in a name by chance, version
    # 4.5 for a Zip64 local header alone.
    "zip64_all_ones_disks": (build([Member("d.txt", b"disk 0")], this_disk=0xFFFF, directory_disk=0xFFFF,
                                   zip64={"this_disk": 0, "directory_disk": 0, "locator_disk": 0,
                                          "total_disks": 1}), b""),
    "zip64_locator_by_chance": (build([Member("a.txt", b"a"), Member(b"n" + LOCATOR_LIKE, b"b")]), b""),
    "zip64_version_45_alone": (build([Member("v.txt", b"v", version_needed=45)]), b""),
}


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
    for name, (archive, answers) in ARCHIVES.items():
        write(os.path.join(root, "end_record"), name, b"\xff\xff" + archive)
        framed = bytes([len(answers)]) + answers + archive
        write(os.path.join(root, "directory"), name, framed)
        write(os.path.join(root, "extract"), name, framed)


if __name__ == "__main__":
    main()
