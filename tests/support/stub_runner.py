"""Run a stub (or any program) natively, under wine or under qemu, and
capture the result.

Wine runs quietly (WINEDEBUG=-all) in a private prefix of one architecture:
"win32" runs PE32 programs (the shipped stub) under the 32-bit loader,
"win64" runs PE32+ programs under wine64. Each prefix is created once per
build tree, under a file lock, so the suites that share it never race on it
and never see wine's first-start messages. The arm64 Linux stub runs under
qemu's user-mode emulator, started by hand (no binfmt registration needed).
"""
import collections
import errno
import fcntl
import os
import resource
import signal
import shutil
import subprocess
import tempfile
import time

Result = collections.namedtuple("Result", "stdout stderr status")

READY_MARK = ".sfx-ready"
WINE_LOADERS = {"win32": "wine", "win64": "wine64"}  # Debian's wine32 and wine64 packages


def wine_binary(arch="win64"):
    """Path of the wine loader for arch ("win32" or "win64"), or None when
    it is not installed."""
    name = WINE_LOADERS[arch]
    for candidate in ("/usr/lib/wine/" + name, shutil.which(name)):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def qemu_binary():
    """Path of qemu's arm64 user-mode emulator, or None when it is not installed."""
    for name in ("qemu-aarch64-static", "qemu-aarch64"):
        found = shutil.which(name)
        if found:
            return found
    return None


def qemu_command(program, args=(), argv0=None):
    """The command that runs the arm64 program under qemu, with argv0 as its
    word 0 (default: the program's path, as a native start gives it)."""
    return [qemu_binary(), *(["-0", argv0] if argv0 is not None else []), program, *args]


def wine_env(prefix, base=None):
    """A copy of base (default os.environ) set for a quiet wine in prefix."""
    env = dict(os.environ if base is None else base)
    env["WINEDEBUG"] = "-all"
    env["WINEPREFIX"] = os.path.abspath(prefix)
    return env


def prepare_wine_prefix(prefix, arch="win64"):
    """Creates the wine prefix for arch once (about 6 s), holding an fcntl
    lock on prefix + ".lock" so that concurrent callers wait instead of
    racing, starts its server for the caller's runs and returns the prefix's
    absolute path. Safe to call from every test; a prefix serves one arch."""
    prefix = os.path.abspath(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(prefix, READY_MARK)):
            env = dict(wine_env(prefix), WINEARCH=arch)
            subprocess.run([wine_binary(arch), "wineboot", "--init"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=False)
            wineserver(prefix, "-w")
            open(os.path.join(prefix, READY_MARK), "w").close()
    # A server that a program starts inherits its output and holds a pipe open
    # for seconds after it ends; one started here, detached, outlives the runs.
    wineserver(prefix, "-p30")
    return prefix


def wineserver(prefix, option):
    """Runs the prefix's wineserver with option ("-w" waits until it has
    exited, "-p30" starts one that stays 30 s past its last client unless
    one is running already, "-k" ends it: only in a prefix of one's own, as
    the suites of a test run share theirs), detached from our output pipes."""
    server = "/usr/lib/wine/wineserver"  # serves the prefixes of both loaders
    if not os.access(server, os.X_OK):
        server = shutil.which("wineserver") or "wineserver"
    subprocess.run([server, option], env=wine_env(prefix), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=False)


def set_drive_a(prefix, folder):
    """Points wine's drive A of prefix at folder (dosdevices/a: symlink).
    The link is per prefix: the suites that use drive A hold the prefix's
    ctest lock (RESOURCE_LOCK wine_drive_a_<arch>), so one at a time does."""
    link = os.path.join(prefix, "dosdevices", "a:")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.abspath(folder), link)


def windows_path(path):
    """How wine shows a Unix path to a Windows program: Z: and backslashes
    (e.g. the archive path, word 0, of a stub started under wine)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_fresh_program(command, **kwargs):
    """subprocess.run for a program file written just now: while a child that
    another test thread forked still holds it open for writing (between its
    fork and its exec), starting it fails with ETXTBSY, so it is tried again."""
    for attempt in range(50):
        try:
            return subprocess.run(command, **kwargs)
        except OSError as error:
            if error.errno != errno.ETXTBSY or attempt == 49:
                raise
            time.sleep(0.02)


def limit_file_size(size):
    """A preexec_fn for a child whose files may grow to size bytes at most:
    a write past it fails with EFBIG, as on a full disk (SIGXFSZ ignored)."""
    def limit():
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    return limit


def run_stub(program, stdin=b"", cwd=None, timeout=60, wine_prefix=None, args=(), env=None, argv0=None,
             file_size_limit=None, wine_arch="win64", qemu=False):
    """Runs program with args in cwd, feeding stdin (bytes; None means
    /dev/null), and returns Result(stdout bytes, stderr bytes, exit status).
    With wine_prefix, the program runs under the wine_arch loader in that
    prefix (call prepare_wine_prefix first); with qemu, the arm64 program runs
    under qemu's emulator. argv0, natively and under qemu, is the program's
    word 0 in place of its absolute path; file_size_limit caps the
    size of every file it writes. A timeout raises subprocess.TimeoutExpired."""
    executable = os.path.abspath(program)
    command = [executable, *args]
    if qemu:
        command = qemu_command(executable, args, argv0)
        executable = None
    elif wine_prefix is not None:
        command.insert(0, wine_binary(wine_arch))
        wineserver(wine_prefix, "-p30")  # one server for a whole run of tests
        env = wine_env(wine_prefix, env)
        executable = None
    elif argv0 is not None:
        command[0] = argv0
    # Files, not pipes, catch the output: wine's helper processes inherit the
    # descriptors and outlive the program, and would hold a pipe open.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        completed = run_fresh_program(command, executable=executable, input=stdin,
                                      stdin=subprocess.DEVNULL if stdin is None else None, stdout=out,
                                      stderr=err, cwd=cwd, env=env, timeout=timeout, check=False,
                                      preexec_fn=None if file_size_limit is None else limit_file_size(file_size_limit))
        out.seek(0)
        err.seek(0)
        return Result(out.read(), err.read(), completed.returncode)
