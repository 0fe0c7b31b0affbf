"""Make self-extractors from zip archives: a stub's bytes with a zip appended.

`zip -A` style: every local header offset and the central directory offset
are moved by the stub's length so they count from the first byte of the
executable. `plain` concatenation keeps the archive's own offsets, as
`cat stub archive.zip > setup` does.
"""
import os
import struct

END_SIGNATURE = b"PK\x05\x06"
CENTRAL_SIGNATURE = b"PK\x01\x02"
END_WINDOW = 66000


def find_end_record(data):
    """Offset of the end-of-central-directory record in data (the last
    signature whose comment length reaches exactly to the end), else the last
    signature within the final 66000 bytes. Raises ValueError when none."""
    low = max(0, len(data) - END_WINDOW)
    fallback = None
    pos = data.rfind(END_SIGNATURE, low)
    while pos >= 0:
        if pos + 22 <= len(data):
            (comment_length,) = struct.unpack_from("<H", data, pos + 20)
            if pos + 22 + comment_length == len(data):
                return pos
        if fallback is None:
            fallback = pos
        pos = data.rfind(END_SIGNATURE, low, pos)
    if fallback is None:
        raise ValueError("no end-of-central-directory record")
    return fallback


def central_headers(data):
    """Yields the offset of every central directory header, in directory
    order, following the directory offset in the end record."""
    end = find_end_record(data)
    (offset,) = struct.unpack_from("<I", data, end + 16)
    while data[offset:offset + 4] == CENTRAL_SIGNATURE:
        yield offset
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, offset + 28)
        offset += 46 + name_length + extra_length + comment_length


def shift_offsets(zip_bytes, shift):
    """Returns zip_bytes with the directory offset and every local header
    offset moved by shift bytes (what `zip -A` does after prepending)."""
    data = bytearray(zip_bytes)
    end = find_end_record(data)
    headers = list(central_headers(data))
    for header in headers:
        (local,) = struct.unpack_from("<I", data, header + 42)
        struct.pack_into("<I", data, header + 42, local + shift)
    (directory,) = struct.unpack_from("<I", data, end + 16)
    struct.pack_into("<I", data, end + 16, directory + shift)
    return bytes(data)


def sfx_bytes(stub_bytes, zip_bytes, absolute=True):
    """The self-extractor's bytes: stub then archive, offsets made absolute
    unless absolute is False (plain concatenation)."""
    if absolute:
        zip_bytes = shift_offsets(zip_bytes, len(stub_bytes))
    return bytes(stub_bytes) + bytes(zip_bytes)


def make_sfx(stub_path, zip_source, out_path, absolute=True):
    """Writes a self-extractor at out_path from the stub file and a zip given
    as a path or as bytes; marks it executable. Returns out_path."""
    with open(stub_path, "rb") as stub:
        stub_bytes = stub.read()
    if isinstance(zip_source, (bytes, bytearray)):
        zip_bytes = zip_source
    else:
        with open(zip_source, "rb") as archive:
            zip_bytes = archive.read()
    with open(out_path, "wb") as out:
        out.write(sfx_bytes(stub_bytes, zip_bytes, absolute))
    os.chmod(out_path, 0o755)
    return out_path
