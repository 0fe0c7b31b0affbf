"""No stub holds the bytes of a local header's or an end record's signature:
tools that look for the archive in a self-extractor (7-Zip by the first local
header, every reader by the last end record) would take the stub's own bytes
for it. Every stub given (--glibc-stub, --linux-stub, ...) is read."""
from zip_writer import END_SIGNATURE, LOCAL_SIGNATURE

SIGNATURES = {"local header": LOCAL_SIGNATURE, "end record": END_SIGNATURE}
STUBS = ("glibc_stub", "linux_stub", "arm64_stub", "win32_stub", "win64_stub")


def pytest_generate_tests(metafunc):
    given = [name for name in STUBS if getattr(metafunc.config.option, name)]
    metafunc.parametrize("stub", [getattr(metafunc.config.option, name) for name in given], ids=given)
    metafunc.parametrize("what", SIGNATURES)


def test_holds_no_signature(stub, what):
    with open(stub, "rb") as data:
        at = data.read().find(SIGNATURES[what])
    assert at < 0, "the %s signature at %d" % (what, at)
