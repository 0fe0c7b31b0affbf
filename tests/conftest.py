"""What every end-to-end suite shares: the options (a target, its stub, the
scratch folder, the build's other programs) and the fixtures made of them.

    target   the target the suite runs on (support/targets.py), its wine
             prefix ready; target.run(program, ...) starts a program on it
    options  every option below, by name (options.mksfx, options.flips, ...)
    folder   a fresh scratch folder for one test, below --work
"""
import os
import re
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from targets import TARGETS, Target  # noqa: E402

# The options of the suites beyond the target's; a suite reads those it needs.
SUITE_OPTIONS = [
    ("--mksfx", dict(help="the mksfx program")),
    ("--mksfx-exe", dict(help="mksfx.exe, the builder for Windows")),
    ("--linux-stub", dict(help="the static Linux x86-64 stub")),
    ("--glibc-stub", dict(help="the stub linked against this machine's glibc")),
    ("--arm64-stub", dict(help="the static Linux arm64 stub")),
    ("--win32-stub", dict(help="the 32-bit Windows stub")),
    ("--win64-stub", dict(help="the 64-bit Windows stub")),
    ("--built", dict(action="append", default=[], help="a target this build makes a stub for (repeatable)")),
    ("--wine-prefix", dict(action="append", default=[], help="ARCH=FOLDER: the wine prefix of an architecture")),
    ("--build", dict(help="the build tree")),
    ("--cmake", dict(default="cmake")),
    ("--cpack", dict(default="cpack")),
    ("--chroot", dict(help="where the Debian 11 chroot is made once and kept")),
    ("--mirror", dict(help="the Debian archive to fetch from (default: apt's, then deb.debian.org)")),
    ("--bootstrap-timeout", dict(type=int, default=600, help="seconds debootstrap may take")),
    ("--valgrind", dict(action="store_true", help="run the (glibc) stub under valgrind memcheck")),
    ("--flips", dict(type=int, default=2000, help="copies with one bit flipped")),
    ("--overwrites", dict(type=int, default=1000, help="copies with a run of bytes overwritten")),
    ("--truncation-step", dict(type=int, default=1, help="every how many bytes a copy is cut")),
    ("--seed", dict(type=int, default=8)),
    ("--table", dict(help="FILE: also write the outcomes as a Markdown table there (hardening)")),
]


def pytest_addoption(parser):
    group = parser.getgroup("sfxstub", "the stub under test")
    group.addoption("--target", choices=TARGETS, default="linux", help="what the stub is and runs on")
    group.addoption("--stub", help="the target's stub")
    group.addoption("--work", help="the suite's scratch folder (default: pytest's temporary one)")
    group.addoption("--prefix", help="the wine prefix of a Windows target (default: below WORK)")
    for name, settings in SUITE_OPTIONS:
        group.addoption(name, **settings)


@pytest.fixture(scope="session")
def options(request):
    return request.config.option


@pytest.fixture(scope="session")
def work(options, tmp_path_factory):
    folder = os.path.abspath(options.work) if options.work else str(tmp_path_factory.mktemp("work"))
    os.makedirs(folder, exist_ok=True)
    return folder


@pytest.fixture(scope="session")
def target(options, work):
    if not options.stub:
        pytest.fail("--stub is needed: the stub of --target %s" % options.target)
    return Target(options.target, options.stub, work, options.prefix).ready()


@pytest.fixture
def folder(request, work):
    """A fresh folder for one test, named after it."""
    path = os.path.join(work, re.sub(r"[^\w.-]+", "_", request.node.name)[:120])
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path
