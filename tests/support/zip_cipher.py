"""The traditional zip cipher, for tests that write encrypted members or check
what a password makes of an encryption header."""
import zlib


class ZipCipher:
    """The cipher's three keys, seeded from password (bytes)."""

    def __init__(self, password):
        self.keys = [0x12345678, 0x23456789, 0x34567890]
        for byte in password:
            self._advance(byte)

    @staticmethod
    def _crc_step(value, byte):
        return zlib.crc32(bytes([byte]), value ^ 0xFFFFFFFF) ^ 0xFFFFFFFF

    def _advance(self, plain):
        k0, k1, k2 = self.keys
        k0 = self._crc_step(k0, plain)
        k1 = ((k1 + (k0 & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k2 = self._crc_step(k2, k1 >> 24)
        self.keys = [k0, k1, k2]

    def _keystream(self):
        t = (self.keys[2] & 0xFFFF) | 2
        return ((t * (t ^ 1)) >> 8) & 0xFF

    def encrypt(self, data):
        out = bytearray()
        for byte in data:
            out.append(byte ^ self._keystream())
            self._advance(byte)
        return bytes(out)

    def decrypt(self, data):
        out = bytearray()
        for byte in data:
            plain = byte ^ self._keystream()
            out.append(plain)
            self._advance(plain)
        return bytes(out)
