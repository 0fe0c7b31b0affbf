"""A byte-level zip writer for hostile test archives: every header field can
be set to any value, names are bytes (NUL and control bytes included), and
members can be encrypted with the traditional zip cipher or AES."""
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from zip_cipher import ZipCipher  # noqa: E402
import zip_aes  # noqa: E402

LOCAL_SIGNATURE = b"PK\x03\x04"
CENTRAL_SIGNATURE = b"PK\x01\x02"
END_SIGNATURE = b"PK\x05\x06"


def encrypt(payload, password, crc):
    """The 12-byte encryption header (check byte from the CRC) and payload,
    enciphered. The header's filler is fixed so archives are reproducible."""
    header = bytes(range(11)) + bytes([crc >> 24])
    return ZipCipher(password).encrypt(header + payload)


def unix(mode):
    """Header fields of a member made on a Unix host with this st_mode."""
    return dict(version_made_by=(3 << 8) | 20, external=mode << 16)


class Member:
    """One member. data is the file's content; method 0 stores, 8 deflates;
    password encrypts. Any keyword in `fields` overrides the computed header
    value in both headers: version_made_by, version_needed, flags, method,
    time, date, crc, compressed_size, uncompressed_size, disk, internal,
    external, local_offset; `payload` replaces the member's data bytes;
    `extra` (bytes) is the extra field of both headers (for an AES member,
    its AES field unless given); `local_name` and `local_extra` change only
    the local header, `central_extra` only the central one,
    `local_signature` the local header's signature. aes (a strength 1-3)
    with a password makes an AES member (AE-2, or AE-1 with aes_version=1)
    of the real method `method`, with a fixed salt unless `salt` is given;
    `deflate_tail` is enciphered after the deflate stream."""

    def __init__(self, name, data=b"", method=0, password=None, aes=None, aes_version=2, **fields):
        self.name = name.encode() if isinstance(name, str) else name
        self.data = data
        self.method = method
        self.password = password
        self.aes = aes
        self.aes_version = aes_version
        self.fields = fields


def zip64_extra(*values, disk=None):
    """A Zip64 extra block holding the 8-byte values given (uncompressed
    size, compressed size, local header offset, in that order, as many as the
    header marks with all ones) and the 4-byte disk."""
    data = b"".join(struct.pack("<Q", value) for value in values)
    data += b"" if disk is None else struct.pack("<I", disk)
    return struct.pack("<HH", 1, len(data)) + data


def build(members, prefix=b"", comment=b"", entry_count=None, directory_offset=None,
          directory_size=None, this_disk=0, directory_disk=0, central_only=(), zip64=None):
    """The archive's bytes, after prefix (offsets count from the prefix's
    start, as in a self-extractor). central_only lists extra Members that get
    a central header but no local header or data: their data is the first
    member's unless their local_offset field says otherwise. Offsets given
    as fields are absolute. zip64, a dict, adds a Zip64 end record and its
    locator before the end record, whose counts and offset are then all
    ones; its keys override the computed values: entries, directory_size,
    directory_offset, this_disk, directory_disk, locator_disk,
    locator_offset (of the Zip64 end record), total_disks."""
    out = bytearray(prefix)
    first_offset = len(out)
    central = bytearray()
    header_only = {id(member) for member in central_only}
    for member in list(members) + list(central_only):
        f = member.fields
        crc = f.get("crc", zlib.crc32(member.data))
        if member.method == 8:
            squeezer = zlib.compressobj(9, zlib.DEFLATED, -15)
            payload = squeezer.compress(member.data) + squeezer.flush() + f.get("deflate_tail", b"")
        else:
            payload = member.data
        flags = 0
        method, version_needed, extra = member.method, 20, b""
        if member.aes is not None:
            salt = f.get("salt", bytes(range(zip_aes.salt_size(member.aes))))
            payload = zip_aes.encrypt(payload, member.password.encode(), salt, member.aes)
            extra = zip_aes.extra_field(member.aes_version, member.aes, member.method)
            method, version_needed = zip_aes.AES_METHOD, zip_aes.AES_VERSION_NEEDED
            crc = f.get("crc", crc if member.aes_version == 1 else 0)
            flags |= 1
        elif member.password is not None:
            payload = encrypt(payload, member.password.encode(), crc)
            flags |= 1
        extra = f.get("extra", extra)
        payload = f.get("payload", payload)
        flags = f.get("flags", flags)
        values = dict(
            version_made_by=f.get("version_made_by", 20), version_needed=f.get("version_needed", version_needed),
            flags=flags, method=f.get("method", method), time=f.get("time", 0x6000),
            date=f.get("date", 0x5A21), crc=crc, compressed_size=f.get("compressed_size", len(payload)),
            uncompressed_size=f.get("uncompressed_size", len(member.data)))
        if id(member) in header_only:
            offset = f.get("local_offset", first_offset)
        else:
            offset = f.get("local_offset", len(out))
            local_name = f.get("local_name", member.name)
            local_extra = f.get("local_extra", extra)
            out += f.get("local_signature", LOCAL_SIGNATURE) + struct.pack(
                "<HHHHHIIIHH", values["version_needed"], flags, values["method"], values["time"],
                values["date"], crc, values["compressed_size"], values["uncompressed_size"],
                len(local_name), len(local_extra)) + local_name + local_extra + payload
        central_extra = f.get("central_extra", extra)
        central += CENTRAL_SIGNATURE + struct.pack(
            "<HHHHHHIIIHHHHHII", values["version_made_by"], values["version_needed"], flags, values["method"],
            values["time"], values["date"], crc, values["compressed_size"], values["uncompressed_size"],
            len(member.name), len(central_extra), 0, f.get("disk", 0), f.get("internal", 0), f.get("external", 0),
            offset & 0xFFFFFFFF) + member.name + central_extra
    start = len(out)
    out += central
    count = len(members) + len(central_only) if entry_count is None else entry_count
    size = len(central) if directory_size is None else directory_size
    offset = start if directory_offset is None else directory_offset
    if zip64 is not None:
        z = dict(zip64)
        record_offset = len(out)
        out += b"PK\x06\x06" + struct.pack(
            "<QHHIIQQQQ", 44, 45, 45, z.get("this_disk", this_disk), z.get("directory_disk", directory_disk),
            z.get("entries", count), z.get("entries", count), z.get("directory_size", size),
            z.get("directory_offset", offset))
        out += b"PK\x06\x07" + struct.pack("<IQI", z.get("locator_disk", this_disk),
                                           z.get("locator_offset", record_offset), z.get("total_disks", this_disk + 1))
        count, size, offset = 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF
    out += END_SIGNATURE + struct.pack(
        "<HHHHIIH", this_disk, directory_disk, count & 0xFFFF, count & 0xFFFF, size, offset,
        len(comment)) + comment
    return bytes(out)
