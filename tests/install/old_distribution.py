"""A self-extractor made on this machine starts on an older distribution:
in a Debian 11 chroot (glibc 2.31), made once by debootstrap and kept under
the build folder (--chroot), the static x86-64 stub extracts a sample tree,
plain and under a password typed on standard input, while the same archive
behind the glibc stub fails at its start (it needs glibc 2.34), which shows
the chroot's C library really is the older one.

The stub is started by its path, so the chroot needs no /proc. Run as root;
without root, debootstrap or a reachable Debian archive, or when debootstrap
fails or outlasts --bootstrap-timeout, every test is skipped with the reason.
Delete the --chroot folder to make the chroot again.
"""
import collections
import fcntl
import glob
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request
from pathlib import Path

import pytest
from file_trees import files_below

SUITE = "bullseye"
FALLBACK_MIRRORS = ["http://deb.debian.org/debian", "http://archive.debian.org/debian"]
# Suites of the Debian archive itself, as opposed to security, updates and
# other vendors' repositories listed next to it.
DEBIAN_SUITES = {"buster", "bullseye", "bookworm", "trixie", "forky", "sid", "oldoldstable", "oldstable", "stable",
                 "testing", "unstable"}
PASSWORD = "old-libc"
# Inside the chroot, run with nothing of the caller's environment.
CHROOT_ENV = ["PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root", "LANG=C"]

Case = collections.namedtuple("Case", "name mksfx_args stdin prompts")
CASES = [
    Case("static stub", ["--target", "linux"], b"", 0),
    Case("static stub, AES-256 password on standard input", ["--target", "linux", "--password", PASSWORD],
         PASSWORD.encode() + b"\n", 1),
    Case("static stub, traditional cipher password on standard input",
         ["--target", "linux", "--password", PASSWORD, "--encryption", "zipcrypto"], PASSWORD.encode() + b"\n", 1),
]


def system_program(name):
    """The path of an administrator's program, which a caller's PATH may
    leave out (/usr/sbin), or None."""
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin")


def apt_debian_mirrors():
    """The http(s) URIs this machine's apt fetches a Debian suite from, in
    the order listed (one-line sources.list entries and deb822 .sources)."""
    mirrors = []
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*")):
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        if path.endswith(".sources"):
            entries = deb822_entries(text)
        else:
            entries = one_line_entries(text)
        for uris, suites in entries:
            if DEBIAN_SUITES & set(suites):
                mirrors += [uri.rstrip("/") for uri in uris if uri.startswith(("http://", "https://"))]
    return mirrors


def deb822_entries(text):
    """[(URIs, Suites)] of each paragraph of a deb822 .sources file."""
    entries = []
    for paragraph in text.split("\n\n"):
        fields = {}
        for line in paragraph.splitlines():
            if ":" in line and not line.startswith(("#", " ", "\t")):
                key, value = line.split(":", 1)
                fields[key.strip().lower()] = value.split()
        entries.append((fields.get("uris", []), fields.get("suites", [])))
    return entries


def one_line_entries(text):
    """[(URIs, Suites)] of each "deb [options] URI SUITE COMPONENTS" line."""
    entries = []
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if not words or words[0] != "deb":
            continue
        words = words[1:]
        if words and words[0].startswith("["):
            while words and not words[0].endswith("]"):
                words = words[1:]
            words = words[1:]
        if len(words) >= 2:
            entries.append(([words[0]], [words[1]]))
    return entries


def reachable_mirror(candidates):
    """The first candidate that serves the suite's release file; skips
    naming what each one answered."""
    answers = []
    for mirror in dict.fromkeys(candidates):
        url = "%s/dists/%s/InRelease" % (mirror, SUITE)
        try:
            with urllib.request.urlopen(url, timeout=20) as response:
                if response.status == 200:
                    return mirror
                answers.append("%s: HTTP %d" % (url, response.status))
        except Exception as error:  # URLError, HTTPError, timeouts, TLS errors
            answers.append("%s: %s" % (url, error))
    pytest.skip("no Debian archive serves %s (%s)" % (SUITE, "; ".join(answers)))


def mounts_below(folder):
    """Mount points at or below folder, deepest first."""
    folder = os.path.realpath(folder)
    found = []
    with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
        for line in f:
            # Field 5 is the mount point, with space, tab, newline and
            # backslash written as octal escapes.
            point = re.sub(r"\\([0-7]{3})", lambda octal: chr(int(octal.group(1), 8)), line.split()[4])
            if point == folder or point.startswith(folder + "/"):
                found.append(point)
    return sorted(found, key=len, reverse=True)


def remove_chroot(folder):
    """Removes a chroot folder after unmounting what debootstrap left
    mounted in it (/proc, /sys, /dev on some hosts): removing files through
    such a mount would remove the host's. Skips when a mount stays."""
    for point in mounts_below(folder):
        subprocess.run(["umount", "-l", point], stdin=subprocess.DEVNULL, capture_output=True, check=False)
    left = mounts_below(folder)
    if left:
        pytest.skip("cannot unmount %s, left from an earlier debootstrap run" % ", ".join(left))
    shutil.rmtree(folder, ignore_errors=True)


def run_debootstrap(target, mirror, timeout, log_path):
    """Runs debootstrap into target, its output in log_path; skips
    when it fails or outlasts timeout seconds (then it is stopped)."""
    command = [system_program("debootstrap"), "--variant=minbase", SUITE, target, mirror]
    with open(log_path, "wb") as log:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop_process_group(process)
            pytest.skip("debootstrap took more than %d s (log: %s)" % (timeout, log_path))
    if status != 0:
        with open(log_path, encoding="utf-8", errors="replace") as log:
            lines = log.read().strip().splitlines()
        pytest.skip("debootstrap %s from %s failed (%d): %s (log: %s)" % (SUITE, mirror, status,
                                                                          lines[-1] if lines else "", log_path))


def stop_process_group(process):
    """SIGTERM, so that debootstrap may unmount what it mounted; SIGKILL
    when it is still there 30 s later."""
    os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def is_debian_11(root):
    try:
        with open(os.path.join(root, "etc", "debian_version")) as f:
            return f.read().startswith("11.")
    except OSError:
        return False


def prepare_chroot(options):
    """Makes the chroot unless a complete one is there; returns a line on
    what was done. debootstrap works in a side folder that is renamed into
    place only when complete, so an interrupted run leaves no half chroot."""
    root = os.path.abspath(options.chroot)
    os.makedirs(os.path.dirname(root), exist_ok=True)
    with open(root + ".lock", "w") as lock:
        # Two runs on one build folder take turns instead of racing.
        fcntl.flock(lock, fcntl.LOCK_EX)
        if is_debian_11(root):
            return "reused the Debian 11 chroot %s" % root
        if os.path.exists(root):
            remove_chroot(root)
        if not system_program("debootstrap"):
            pytest.skip("debootstrap is not installed (apt-get install debootstrap)")
        mirror = reachable_mirror([options.mirror] if options.mirror else apt_debian_mirrors() + FALLBACK_MIRRORS)
        partial = root + ".partial"
        if os.path.exists(partial):
            remove_chroot(partial)
        started = time.monotonic()
        try:
            run_debootstrap(partial, mirror, options.bootstrap_timeout, root + ".log")
            if not is_debian_11(partial):
                pytest.skip("debootstrap made no Debian 11 tree (log: %s)" % (root + ".log"))
        except pytest.skip.Exception:
            # debootstrap unmounts /proc and /sys when it ends by itself, not
            # when it is stopped.
            remove_chroot(partial)
            raise
        os.rename(partial, root)
        return "made the Debian 11 chroot %s from %s in %.0f s (%d MiB)" % (
            root, mirror, time.monotonic() - started, folder_size(root) // (1024 * 1024))


def folder_size(folder):
    total = 0
    for parent, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(parent, name)
            if not os.path.islink(path):
                total += os.lstat(path).st_size
    return total


def chroot_run(root, folder, program, stdin=b""):
    """Runs program (a path inside the chroot) in folder (also inside), with
    stdin fed in, a clean environment and a time limit."""
    command = [system_program("chroot"), root, "/usr/bin/env", "-i", "--chdir=" + folder, *CHROOT_ENV, program]
    return subprocess.run(command, input=stdin, capture_output=True, timeout=120)


def chroot_libc_version(root):
    """The version the chroot's glibc reports ("2.31"), or None."""
    command = [system_program("chroot"), root, "/usr/bin/getconf", "GNU_LIBC_VERSION"]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    words = result.stdout.split()
    return words[1] if result.returncode == 0 and len(words) == 2 else None


def make_tree(source):
    """A sample app/ folder; returns {path below app/: bytes}."""
    noise = random.Random(11)
    files = {
        "app/readme.txt": b"read me\n" * 100,
        "app/bin/run.sh": b"#!/bin/sh\necho run\n",
        "app/data/table.csv": b"".join(b"%d,%d\n" % (i, i * i) for i in range(3000)),
        "app/data/noise.bin": bytes(noise.getrandbits(8) for _ in range(300 * 1024)),
        "app/empty": b"",
    }
    for name, data in files.items():
        path = os.path.join(source, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        Path(path).write_bytes(data)
    os.chmod(os.path.join(source, "app/bin/run.sh"), 0o755)
    return {name.split("/", 1)[1]: data for name, data in files.items()}


def pack(mksfx, args, source, output):
    command = [mksfx, "-q", *args, "-o", output, os.path.join(source, "app")]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise AssertionError("%s failed (%d): %s" % (" ".join(command), result.returncode, result.stderr))


def problems_of_extraction(result, out_folder, expected, prompts):
    """What is wrong with a run that should have extracted app/ as made."""
    found = []
    text = (result.stdout + result.stderr).decode("utf-8", "replace")
    if result.returncode != 0:
        found.append("exit status %d: %s" % (result.returncode, text.strip()))
    if files_below(os.path.join(out_folder, "app")) != expected:
        found.append("the extracted tree differs from the packed one")
    elif not os.access(os.path.join(out_folder, "app/bin/run.sh"), os.X_OK):
        found.append("app/bin/run.sh lost its execute bit")
    asked = text.count("Please enter the password")
    if asked != prompts:
        found.append("%d password prompts, expected %d" % (asked, prompts))
    return found


def problems_of_glibc_start(result, out_folder):
    """What is wrong with a glibc stub's run that the loader should refuse."""
    found = []
    text = result.stderr.decode("utf-8", "replace")
    if result.returncode == 0:
        found.append("the glibc stub ran: the chroot's C library is not older than the build machine's")
    if "version `GLIBC_" not in text or "not found" not in text:
        found.append("no loader message about a missing GLIBC version: %s" % text.strip())
    if os.path.exists(os.path.join(out_folder, "app")):
        found.append("the glibc stub extracted files")
    return found



@pytest.fixture(scope="module")
def chroot(options):
    """The Debian 11 chroot's folder, made or reused."""
    if os.geteuid() != 0:
        pytest.skip("not root: debootstrap and chroot need root")
    if not system_program("chroot"):
        pytest.skip("no chroot program")
    print(prepare_chroot(options))
    root = os.path.abspath(options.chroot)
    print("the chroot's C library: glibc %s" % chroot_libc_version(root))
    return root


@pytest.fixture(scope="module")
def sample(work):
    """The sample tree's folder and {path below app/: bytes}."""
    source = os.path.join(work, "source")
    shutil.rmtree(source, ignore_errors=True)
    return source, make_tree(source)


@pytest.fixture
def inside(chroot):
    """A fresh folder in the chroot's /tmp: its path here and in the chroot."""
    folder = tempfile.mkdtemp(prefix="sfx-old-", dir=os.path.join(chroot, "tmp"))
    yield folder, "/tmp/" + os.path.basename(folder)
    shutil.rmtree(folder, ignore_errors=True)


def run_packed(options, chroot, sample, inside, mksfx_args, stdin=b""):
    """Packs the sample with mksfx_args and starts it in the chroot: the
    result and the folder it extracted to (seen from here)."""
    (folder, path), source = inside, sample[0]
    pack(options.mksfx, mksfx_args, source, os.path.join(folder, "setup"))
    os.makedirs(os.path.join(folder, "out"))
    return chroot_run(chroot, path + "/out", path + "/setup", stdin), os.path.join(folder, "out")


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_static_stub_extracts(case, options, chroot, sample, inside):
    result, out = run_packed(options, chroot, sample, inside, case.mksfx_args, case.stdin)
    problems = problems_of_extraction(result, out, sample[1], case.prompts)
    assert not problems, "\n".join(problems)


def test_glibc_stub_is_refused_by_the_loader(options, chroot, sample, inside):
    result, out = run_packed(options, chroot, sample, inside, ["--stub", options.glibc_stub])
    problems = problems_of_glibc_start(result, out)
    assert not problems, "\n".join(problems)
