"""The targets an end-to-end suite runs a stub on (pytest's --target, see
tests/conftest.py), so that any suite runs on any target alike:

  linux   the static Linux stub, natively (the default)
  glibc   the stub linked against this machine's glibc, natively
  qemu    the arm64 Linux stub under qemu's user-mode emulator
  win32   the 32-bit Windows stub under wine's 32-bit loader
  win64   the 64-bit Windows stub under wine64
"""
import os

from stub_runner import prepare_wine_prefix, run_stub

TARGETS = ("linux", "glibc", "qemu", "win32", "win64")
WINDOWS_TARGETS = ("win32", "win64")


class Target:
    """A target, its stub and the suite's scratch folder. arch is wine's
    architecture for a Windows target (else None); platform, what runs the
    program ("linux", "wine" or "qemu"); qemu, whether qemu does; prefix, the
    wine prefix (default: below work); newline, the stub's line end."""

    def __init__(self, name, stub, work, prefix=None):
        self.target = name
        self.arch = name if name in WINDOWS_TARGETS else None
        self.platform = "wine" if self.arch else "qemu" if name == "qemu" else "linux"
        self.qemu = self.platform == "qemu"
        self.stub, self.work = os.path.abspath(stub), os.path.abspath(work)
        if self.arch and prefix is None:
            prefix = os.path.join(self.work, "wine-" + self.arch)
        self.prefix = os.path.abspath(prefix) if self.arch else None
        self.newline = b"\r\n" if self.arch else b"\n"

    def ready(self):
        """Makes the wine prefix of a Windows target (once, under a lock)."""
        if self.arch:
            prepare_wine_prefix(self.prefix, self.arch)
        return self

    def run(self, program, **settings):
        """Runs program on this target: stub_runner.run_stub's settings."""
        return run_stub(program, wine_prefix=self.prefix, wine_arch=self.arch or "win64", qemu=self.qemu, **settings)
