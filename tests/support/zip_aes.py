"""AES zip members' data as 7-Zip and WinZip write it (AE-1 and AE-2), for
tests that build AES archives byte by byte (zip_writer writes the records):
keys from PBKDF2-HMAC-SHA1, AES in counter mode with a little-endian counter
from 1, and a 10-byte HMAC-SHA1 code over the enciphered data. AES itself comes from the cryptography
package (Debian's python3-cryptography)."""
import hashlib
import hmac

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

AES_METHOD = 99
AES_VERSION_NEEDED = 51
ITERATIONS = 1000


def salt_size(strength):
    return 4 + 4 * strength


def derive(password, salt, strength):
    """(AES key, HMAC key, 2-byte verifier) for password (bytes)."""
    key_size = 8 + 8 * strength
    derived = hashlib.pbkdf2_hmac("sha1", password, salt, ITERATIONS, 2 * key_size + 2)
    return derived[:key_size], derived[key_size:2 * key_size], derived[2 * key_size:]


def keystream(key, length):
    blocks = (length + 15) // 16
    counters = b"".join((n + 1).to_bytes(16, "little") for n in range(blocks))
    encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return encryptor.update(counters) + encryptor.finalize()


def encrypt(data, password, salt, strength):
    """The member's data: salt, verifier, data enciphered, code."""
    key, mac_key, verifier = derive(password, salt, strength)
    stream = keystream(key, len(data))
    enciphered = bytes(a ^ b for a, b in zip(data, stream))
    code = hmac.new(mac_key, enciphered, "sha1").digest()[:10]
    return salt + verifier + enciphered + code

