"""The targets an end-to-end suite runs a stub on, and the options every such
suite takes for one, so that any suite runs on any target alike:

  --target linux   the static Linux stub, natively (the default)
  --target glibc   the stub linked against this machine's glibc, natively
  --target qemu    the arm64 Linux stub under qemu's user-mode emulator
  --target win32   the 32-bit Windows stub under wine's 32-bit loader
  --target win64   the 64-bit Windows stub under wine64
  --stub FILE      that target's stub
  --work FOLDER    the suite's scratch folder
  --prefix FOLDER  the wine prefix of a Windows target (default: below WORK)
"""
import os

TARGETS = ("linux", "glibc", "qemu", "win32", "win64")
WINDOWS_TARGETS = ("win32", "win64")


def add_target_options(parser):
    parser.add_argument("--target", choices=TARGETS, default="linux", help="what the stub is and runs on")
    parser.add_argument("--stub", required=True, help="the target's stub")
    parser.add_argument("--work", required=True, help="the suite's scratch folder")
    parser.add_argument("--prefix", help="the wine prefix of a Windows target (default: below WORK)")


def read_target(args):
    """Completes args from --target: arch, wine's architecture for a Windows
    target (else None); platform, what runs the program ("linux", "wine" or
    "qemu"); qemu, whether qemu does. Paths become absolute."""
    args.arch = args.target if args.target in WINDOWS_TARGETS else None
    args.platform = "wine" if args.arch else "qemu" if args.target == "qemu" else "linux"
    args.qemu = args.platform == "qemu"
    args.stub, args.work = os.path.abspath(args.stub), os.path.abspath(args.work)
    if args.prefix is not None:
        args.prefix = os.path.abspath(args.prefix)
    return args
