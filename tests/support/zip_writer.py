"""The tests' one zip writer and reader, byte by byte.

Writing: one function per record (local header, central header, data
descriptor, end record, Zip64 end record and locator, Zip64 extra field)
taking every field as an argument, so a hostile case can make any of them
lie; `Member` and `build` lay out a whole archive from members whose header
fields can each be overridden, stored, deflated, or encrypted with the
traditional cipher or AES (zip_cipher and zip_aes hold the crypto).
`SplitSet` lays out a spanned set as one stream and cuts it into disks
wherever a test wants a boundary.

Reading: the end record search and the central header walk the suites use
to patch archives, and the offset shift that turns an archive into a
self-extractor's (`zip -A` style, Zip64 offsets included), for one archive
or the disks of a spanned set.
"""
import random
import struct
import zlib

from zip_cipher import ZipCipher
import zip_aes

LOCAL_SIGNATURE = b"PK\x03\x04"
CENTRAL_SIGNATURE = b"PK\x01\x02"
END_SIGNATURE = b"PK\x05\x06"
DESCRIPTOR_SIGNATURE = b"PK\x07\x08"
ZIP64_END_SIGNATURE = b"PK\x06\x06"
ZIP64_LOCATOR_SIGNATURE = b"PK\x06\x07"
LOCAL_HEADER_SIZE = 30
CENTRAL_HEADER_SIZE = 46
END_RECORD_SIZE = 22
ZIP64_LOCATOR_SIZE = 20
STORED, DEFLATED = 0, 8
DESCRIPTOR_SIZE = 16
DOS_TIME = 0x6000  # 12:00:00
DOS_DATE = 0x5A21  # 1 Jan 2025
SPANNED_DOS_DATE = 0x5A88  # 8 Dec 2025
ALL_ONES_16, ALL_ONES_32 = 0xFFFF, 0xFFFFFFFF
# Readers look for the end record in the last 64 KiB of comment and its own 22 bytes.
END_WINDOW = 66000


# ---- records

def local_header(name, extra, version_needed, flags, method, time, date, crc, compressed_size,
                 uncompressed_size, signature=LOCAL_SIGNATURE):
    return signature + struct.pack("<HHHHHIIIHH", version_needed, flags, method, time, date, crc, compressed_size,
                                   uncompressed_size, len(name), len(extra)) + name + extra


def central_header(name, extra, version_made_by, version_needed, flags, method, time, date, crc, compressed_size,
                   uncompressed_size, local_offset, disk=0, internal=0, external=0, comment=b""):
    return CENTRAL_SIGNATURE + struct.pack(
        "<HHHHHHIIIHHHHHII", version_made_by, version_needed, flags, method, time, date, crc, compressed_size,
        uncompressed_size, len(name), len(extra), len(comment), disk, internal, external,
        local_offset) + name + extra + comment


def data_descriptor(crc, compressed_size, uncompressed_size):
    return DESCRIPTOR_SIGNATURE + struct.pack("<III", crc, compressed_size, uncompressed_size)


def end_record(entries, directory_size, directory_offset, comment=b"", this_disk=0, directory_disk=0,
               entries_here=None):
    """entries_here, the directory's entries on this disk, is entries unless given."""
    here = entries if entries_here is None else entries_here
    return END_SIGNATURE + struct.pack("<HHHHIIH", this_disk, directory_disk, here, entries, directory_size,
                                       directory_offset, len(comment)) + comment


def zip64_end_record(entries, directory_size, directory_offset, this_disk=0, directory_disk=0):
    return ZIP64_END_SIGNATURE + struct.pack("<QHHIIQQQQ", 44, 45, 45, this_disk, directory_disk, entries, entries,
                                             directory_size, directory_offset)


def zip64_locator(record_offset, disk=0, total_disks=1):
    return ZIP64_LOCATOR_SIGNATURE + struct.pack("<IQI", disk, record_offset, total_disks)


def extra_block(tag, data):
    """One block of an extra field: tag, length, data."""
    return struct.pack("<HH", tag, len(data)) + data


def zip64_extra(*values, disk=None):
    """A Zip64 extra block holding the 8-byte values given (uncompressed
    size, compressed size, local header offset, in that order, as many as the
    header marks with all ones) and the 4-byte disk."""
    data = b"".join(struct.pack("<Q", value) for value in values)
    data += b"" if disk is None else struct.pack("<I", disk)
    return extra_block(1, data)


def aes_extra(version, strength, method, vendor=b"AE"):
    """The AES extra block: version 1 (CRC kept) or 2, vendor, strength 1-3, the real method."""
    return extra_block(0x9901, struct.pack("<H2sBH", version, vendor, strength, method))


def encrypt(payload, password, check, filler=bytes(range(11))):
    """The traditional cipher's 12-byte encryption header (11 filler bytes,
    then the check byte: the CRC's top byte, or the time's with a data
    descriptor) and payload, enciphered. A fixed filler keeps archives
    reproducible."""
    return ZipCipher(password).encrypt(filler + bytes([check]) + payload)


# ---- whole archives

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

    def header_values(self):
        """(payload, header fields shared by both headers), overrides applied."""
        f = self.fields
        crc = f.get("crc", zlib.crc32(self.data))
        if self.method == DEFLATED:
            squeezer = zlib.compressobj(9, zlib.DEFLATED, -15)
            payload = squeezer.compress(self.data) + squeezer.flush() + f.get("deflate_tail", b"")
        else:
            payload = self.data
        flags, method, version_needed, extra = 0, self.method, 20, b""
        if self.aes is not None:
            salt = f.get("salt", bytes(range(zip_aes.salt_size(self.aes))))
            payload = zip_aes.encrypt(payload, self.password.encode(), salt, self.aes)
            extra = aes_extra(self.aes_version, self.aes, self.method)
            method, version_needed = zip_aes.AES_METHOD, zip_aes.AES_VERSION_NEEDED
            # AE-2 hides the CRC: the code authenticates the data instead.
            crc = f.get("crc", crc if self.aes_version == 1 else 0)
            flags |= 1
        elif self.password is not None:
            payload = encrypt(payload, self.password.encode(), crc >> 24)
            flags |= 1
        payload = f.get("payload", payload)
        values = dict(version_needed=f.get("version_needed", version_needed), flags=f.get("flags", flags),
                      method=f.get("method", method), time=f.get("time", DOS_TIME), date=f.get("date", DOS_DATE),
                      crc=crc, compressed_size=f.get("compressed_size", len(payload)),
                      uncompressed_size=f.get("uncompressed_size", len(self.data)))
        return payload, f.get("extra", extra), values


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
        payload, extra, values = member.header_values()
        if id(member) in header_only:
            offset = f.get("local_offset", first_offset)
        else:
            offset = f.get("local_offset", len(out))
            out += local_header(f.get("local_name", member.name), f.get("local_extra", extra), **values,
                                signature=f.get("local_signature", LOCAL_SIGNATURE)) + payload
        central += central_header(member.name, f.get("central_extra", extra), f.get("version_made_by", 20),
                                  **values, local_offset=offset & ALL_ONES_32, disk=f.get("disk", 0),
                                  internal=f.get("internal", 0), external=f.get("external", 0))
    start = len(out)
    out += central
    count = len(members) + len(central_only) if entry_count is None else entry_count
    size = len(central) if directory_size is None else directory_size
    offset = start if directory_offset is None else directory_offset
    if zip64 is not None:
        out += zip64_end_and_locator(zip64, len(out), count, size, offset, this_disk, directory_disk)
        count, size, offset = ALL_ONES_16, ALL_ONES_32, ALL_ONES_32
    out += end_record(count & ALL_ONES_16, size, offset, comment, this_disk, directory_disk)
    return bytes(out)


def zip64_end_and_locator(overrides, record_offset, count, size, offset, this_disk, directory_disk):
    """build's Zip64 end record at record_offset and its locator, any value overridden."""
    z = dict(overrides)
    record = zip64_end_record(z.get("entries", count), z.get("directory_size", size),
                              z.get("directory_offset", offset), z.get("this_disk", this_disk),
                              z.get("directory_disk", directory_disk))
    return record + zip64_locator(z.get("locator_offset", record_offset), z.get("locator_disk", this_disk),
                                  z.get("total_disks", this_disk + 1))


# ---- spanned sets

class SpannedMember:
    """One file of a spanned set; payload is its data as it lies in the archive:
    deflated at zip's default level 6 and enciphered behind a filler seeded by
    the data's size, so every set is the same from run to run."""

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
        return dict(version_needed=20, flags=self.flags, method=self.method, time=DOS_TIME, date=SPANNED_DOS_DATE,
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


# ---- reading and self-extractors

def find_end_record(data):
    """Offset of the end-of-central-directory record in data (the last
    signature whose comment length reaches exactly to the end), else the last
    signature within the final 66000 bytes. Raises ValueError when none."""
    low = max(0, len(data) - END_WINDOW)
    fallback = None
    pos = data.rfind(END_SIGNATURE, low)
    while pos >= 0:
        if pos + END_RECORD_SIZE <= len(data):
            (comment_length,) = struct.unpack_from("<H", data, pos + 20)
            if pos + END_RECORD_SIZE + comment_length == len(data):
                return pos
        if fallback is None:
            fallback = pos
        pos = data.rfind(END_SIGNATURE, low, pos)
    if fallback is None:
        raise ValueError("no end-of-central-directory record")
    return fallback


def central_headers(data):
    """Yields the offset of every central directory header, in directory
    order, following the directory offset in the end record (the Zip64 end
    record's when the end record's is all ones)."""
    offset = directory_offset(data)
    while data[offset:offset + 4] == CENTRAL_SIGNATURE:
        yield offset
        offset += central_header_length(data, offset)


def central_header_length(data, at):
    name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, at + 28)
    return CENTRAL_HEADER_SIZE + name_length + extra_length + comment_length


def zip64_record_offset(data, end):
    """Where the locator before the end record at end says the Zip64 end record is; None without a locator."""
    at = end - ZIP64_LOCATOR_SIZE
    if at < 0 or data[at:at + 4] != ZIP64_LOCATOR_SIGNATURE:
        return None
    return struct.unpack_from("<Q", data, at + 8)[0]


def directory_offset(data):
    end = find_end_record(data)
    (offset,) = struct.unpack_from("<I", data, end + 16)
    record = zip64_record_offset(data, end)
    if offset == ALL_ONES_32 and record is not None:
        (offset,) = struct.unpack_from("<Q", data, record + 48)
    return offset


def with_comment(data, comment):
    """data with its end record's comment replaced by comment."""
    end = find_end_record(data)
    return data[:end + 20] + struct.pack("<H", len(comment)) + comment


def local_data_offset(data, local):
    """Where the data of the member whose local header is at local begins."""
    name_length, extra_length = struct.unpack_from("<HH", data, local + 26)
    return local + LOCAL_HEADER_SIZE + name_length + extra_length


def add_to_field(data, at, fmt, shift):
    (value,) = struct.unpack_from(fmt, data, at)
    struct.pack_into(fmt, data, at, value + shift)


def shift_local_offset(data, header, shift):
    """Moves one central header's local header offset, in its Zip64 extra
    block when the header's own is all ones (after the sizes that are all ones too)."""
    if struct.unpack_from("<I", data, header + 42)[0] != ALL_ONES_32:
        add_to_field(data, header + 42, "<I", shift)
        return
    name_length, extra_length = struct.unpack_from("<HH", data, header + 28)
    extra = header + CENTRAL_HEADER_SIZE + name_length
    while struct.unpack_from("<H", data, extra)[0] != 1:
        extra += 4 + struct.unpack_from("<H", data, extra + 2)[0]
    sizes = struct.unpack_from("<II", data, header + 20)
    add_to_field(data, extra + 4 + 8 * sum(1 for size in sizes if size == ALL_ONES_32), "<Q", shift)


def shift_offsets(zip_bytes, shift):
    """Returns zip_bytes with the directory offset and every local header
    offset moved by shift bytes (what `zip -A` does after prepending),
    Zip64 ones included. The central headers are found before anything moves."""
    data = bytearray(zip_bytes)
    end = find_end_record(data)
    headers = list(central_headers(data))
    for header in headers:
        shift_local_offset(data, header, shift)
    if struct.unpack_from("<I", data, end + 16)[0] != ALL_ONES_32:
        add_to_field(data, end + 16, "<I", shift)
    record = zip64_record_offset(data, end)
    if record is not None:
        add_to_field(data, end - ZIP64_LOCATOR_SIZE + 8, "<Q", shift)
        add_to_field(data, record + 48, "<Q", shift)
    return bytes(data)


def sfx_bytes(stub_bytes, zip_bytes, absolute=True):
    """The self-extractor's bytes: stub then archive, offsets made absolute
    unless absolute is False (plain concatenation)."""
    if absolute:
        zip_bytes = shift_offsets(zip_bytes, len(stub_bytes))
    return bytes(stub_bytes) + bytes(zip_bytes)


def shift_spanned_offsets(stub, disks):
    """Self-extractor disks from the disks of a zip -s set: the stub goes in
    front of disk 1 and every offset into disk 1 moves by the stub's length.
    Raises ValueError when the set's records do not hold together."""
    disks = [bytearray(d) for d in disks]
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
