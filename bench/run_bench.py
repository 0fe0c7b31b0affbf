#!/usr/bin/env python3
"""Times the stub against the peer extractors on the same archives.

Every tool extracts every archive into a fresh folder; runs are interleaved
(one run of each tool, in a rotating order, then the next round) so that the
drift of a shared machine falls on all of them alike. Before each timed run
the file system is synced and, for the many-file archives, the page cache is
dropped (when running as root) and the archive read back in. Output folders
are deleted after the last round of an archive, never between timed runs.

Wall time comes from time.perf_counter around spawn and wait4; CPU time and
peak RSS from the child's rusage (wait4). Results: median, min and max of
the wall time, the ratio of each peer's median to the stub's, peak RSS, and
the stub sizes. The report is written between two markers in the Markdown
file, so the text around them is kept; a PNG chart is drawn with gnuplot.

  python3 bench/run_bench.py                       # full run, updates docs/performance.md
  python3 bench/run_bench.py --smoke --data /tmp/s --report /tmp/s/perf.md
"""
import argparse
import datetime
import filecmp
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import make_corpus  # noqa: E402

BEGIN_MARK = "<!-- results: written by bench/run_bench.py, do not edit by hand -->"
END_MARK = "<!-- end of results -->"

# name, archive, (corpus path, the same in the output folder), drop the page cache before each run,
# rounds as a multiple of --runs (the short runs are repeated more: their noise is larger)
WORKLOADS = [
    ("20,000 tiny files, deflate", "tiny-deflate.zip", ("tiny", "tiny"), True, 1),
    ("100 MB log text, deflate", "log-deflate.zip", ("log", ""), False, 2),
    ("64 MiB random, stored", "random-stored.zip", ("random/random.bin", "random.bin"), False, 3),
    ("whole corpus, deflate", "corpus-deflate.zip", ("", ""), True, 1),
]

# Targets: (workload archive, peer, highest allowed stub/peer ratio)
TARGETS = [
    ("log-deflate.zip", "bsdtar", 0.6),
    ("random-stored.zip", "bsdtar", 0.7),
    ("tiny-deflate.zip", "unzip", 0.75),
    ("tiny-deflate.zip", "floor", 1.15),
    ("corpus-deflate.zip", "unzip", 0.5),
]
# The stub's anonymous memory (heap and private mappings) stays below this:
# checked by one more run of each archive under RLIMIT_DATA, which counts
# exactly those. Files it maps (the archive, a member's output) are not
# anonymous memory; they count in the peak RSS reported.
DATA_LIMIT_BYTES = 16 * 1024 * 1024
GNU_TIME = "/usr/bin/time"
MANY_FILES = 1000
DROP_CACHES = [True]  # off in smoke mode: CI runs other tests alongside
WIN32_SIZE_TARGET = 90 * 1024


class Tool:
    """One extractor: how to prepare it for an archive and the command that unpacks it."""

    def __init__(self, name, shown, command, self_extractor_of=None, needs=None, floor=None):
        self.name = name
        self.shown = shown  # the command line as the report shows it
        self.command = command  # (archive path, prepared file) -> argv; run in the fresh folder
        self.self_extractor_of = self_extractor_of  # a stub to prepend, for self-extractors
        self.needs = needs
        self.floor = floor  # the floor program, which takes a pack of the corpus part

    def available(self):
        if self.self_extractor_of is not None:
            return os.path.exists(self.self_extractor_of)
        if self.floor is not None:
            return self.floor != ""
        return shutil.which(self.needs) is not None


def make_tools(stub, floor):
    return [
        Tool("sfxstub", "cat sfxstub A.zip > A.sfx && zip -A A.sfx; ./A.sfx",
             lambda archive, sfx: [sfx], self_extractor_of=stub),
        Tool("floor", "create_floor A.pack (mkdir, or open, write, futimens and close per file; bench/create_floor.c)",
             lambda archive, pack: [floor, pack], floor=floor),
        Tool("unzip", "unzip -o A.zip", lambda archive, sfx: ["unzip", "-o", archive], needs="unzip"),
        Tool("unzipsfx", "cat /usr/bin/unzipsfx A.zip > A.sfx && zip -A A.sfx; ./A.sfx",
             lambda archive, sfx: [sfx], self_extractor_of="/usr/bin/unzipsfx"),
        Tool("7z", "7z x -y A.zip", lambda archive, sfx: ["7z", "x", "-y", archive], needs="7z"),
        Tool("bsdtar", "bsdtar -xf A.zip", lambda archive, sfx: ["bsdtar", "-xf", archive], needs="bsdtar"),
        Tool("python zipfile", "python3 -m zipfile -e A.zip .",
             lambda archive, sfx: [sys.executable, "-m", "zipfile", "-e", archive, "."], needs=sys.executable),
    ]


def build_floor(data):
    """Compiles bench/create_floor.c into the data folder; "" when no C compiler is found."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    target = os.path.join(data, "create_floor")
    if compiler is None or subprocess.run([compiler, "-O2", "-o", target, os.path.join(HERE, "create_floor.c")],
                                          stdin=subprocess.DEVNULL).returncode != 0:
        return ""
    return target


def write_pack(source, base, target):
    """The pack of create_floor: the folders and files below source (or the
    one file source), named from base, in the order os.walk finds them."""
    def entry(kind, name, data=None):
        encoded = name.encode()
        head = kind + len(encoded).to_bytes(2, "little") + encoded
        return head if data is None else head + len(data).to_bytes(4, "little") + data
    with open(target, "wb") as out:
        if os.path.isfile(source):
            with open(source, "rb") as f:
                out.write(entry(b"f", os.path.basename(source), f.read()))
            return target
        for root, folders, files in os.walk(source):
            relative = os.path.relpath(root, base)
            if relative != ".":
                out.write(entry(b"d", relative))
            for name in files:
                with open(os.path.join(root, name), "rb") as f:
                    out.write(entry(b"f", os.path.normpath(os.path.join(relative, name)), f.read()))
    return target


def scratch_folder(data):
    """This run's folder for self-extractors and output trees."""
    return os.path.join(data, "runs", "run-%d" % os.getpid())


def make_self_extractor(stub, archive, target):
    with open(target, "wb") as out:
        for part in (stub, archive):
            with open(part, "rb") as f:
                shutil.copyfileobj(f, out, 1 << 20)
    os.chmod(target, 0o755)
    subprocess.run(["zip", "-q", "-A", target], check=True, stdin=subprocess.DEVNULL)


def read_through(path):
    with open(path, "rb") as f:
        while f.read(1 << 20):
            pass


def settle(drop_cache, warm):
    os.sync()
    if drop_cache and DROP_CACHES[0] and os.geteuid() == 0:
        try:
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("1\n")
        except OSError:
            pass
    for path in warm:
        read_through(path)


def timed_run(argv, cwd):
    """Runs argv in cwd; returns (wall seconds, cpu seconds, peak RSS KiB, exit status, standard error).

    The child is started by GNU time when it is installed: the kernel reports a
    peak RSS no lower than that of the process that forked the child, and this
    Python process is far larger than the tools measured.
    """
    rss_file = None
    if os.path.exists(GNU_TIME):
        rss_file = tempfile.NamedTemporaryFile(prefix="rss-", delete=False)
        rss_file.close()
        argv = [GNU_TIME, "-f", "%M", "-o", rss_file.name, "--"] + argv
    start = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    error = child.stderr.read()
    child.stderr.close()
    rss = usage.ru_maxrss
    if rss_file is not None:
        with open(rss_file.name) as f:
            last = f.read().split()
        os.remove(rss_file.name)
        rss = int(last[-1]) if last and last[-1].isdigit() else -1
    return wall, usage.ru_utime + usage.ru_stime, rss, child.returncode, error


def same_tree(expected, actual):
    """True when actual holds the same files with the same bytes as expected."""
    if os.path.isfile(expected):
        return os.path.isfile(actual) and filecmp.cmp(expected, actual, shallow=False)
    comparison = filecmp.dircmp(expected, actual)
    if comparison.left_only or comparison.right_only or comparison.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(expected, actual, comparison.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_tree(os.path.join(expected, d), os.path.join(actual, d)) for d in comparison.common_dirs)


def run_workload(workload, tools, data, runs, log, leftovers):
    title, archive_name, part, drop_cache, _ = workload
    archive = os.path.join(data, archive_name)
    scratch = scratch_folder(data)
    os.makedirs(scratch, exist_ok=True)
    prepared = {}
    for tool in tools:
        if tool.self_extractor_of is not None:
            prepared[tool.name] = os.path.join(scratch, "%s-%s.sfx" % (tool.name, archive_name[:-4]))
            make_self_extractor(tool.self_extractor_of, archive, prepared[tool.name])
        if tool.floor:
            corpus = os.path.join(data, "corpus")
            source = os.path.join(corpus, part[0])
            base = corpus if os.path.dirname(part[0]) == "" else os.path.join(corpus, os.path.dirname(part[0]))
            prepared[tool.name] = write_pack(source, base, os.path.join(scratch, "%s.pack" % archive_name[:-4]))
    samples = {tool.name: [] for tool in tools}
    failures = {}
    for round_number in range(runs):
        shift = round_number % len(tools)
        for tool in tools[shift:] + tools[:shift]:
            folder = tempfile.mkdtemp(prefix="%s-" % tool.name.replace(" ", "_"), dir=scratch)
            sfx = prepared.get(tool.name)
            settle(drop_cache, [sfx or archive])
            wall, cpu, rss, status, error = timed_run(tool.command(archive, sfx), folder)
            if status != 0:
                failures[tool.name] = "exit status %d: %s" % (status, error.decode(errors="replace")[-300:])
            samples[tool.name].append((wall, cpu, rss))
            if tool.name == "sfxstub" and round_number == 0:
                expected = os.path.join(data, "corpus", part[0])
                actual = os.path.join(folder, part[1])
                if not same_tree(expected, actual):
                    failures["sfxstub"] = "extracted files differ from the corpus"
            log("  %-15s %8.1f ms  rss %6d KiB%s" % (tool.name, wall * 1000, rss, "" if status == 0 else " FAILED"))
            trim_output(folder, leftovers)
    if "sfxstub" in prepared and not within_data_limit(prepared["sfxstub"], data, scratch, part):
        failures["sfxstub memory"] = "failed under RLIMIT_DATA = %d MiB" % (DATA_LIMIT_BYTES >> 20)
    for path in prepared.values():
        os.remove(path)
    os.sync()
    return samples, failures


def within_data_limit(sfx, data, scratch, part):
    """Whether the self-extractor extracts the archive right with its
    anonymous memory held to DATA_LIMIT_BYTES."""
    import resource
    folder = tempfile.mkdtemp(prefix="data-limit-", dir=scratch)
    limit = lambda: resource.setrlimit(resource.RLIMIT_DATA, (DATA_LIMIT_BYTES, DATA_LIMIT_BYTES))  # noqa: E731
    done = subprocess.run([sfx], cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, preexec_fn=limit)
    sound = done.returncode == 0 and same_tree(os.path.join(data, "corpus", part[0]), os.path.join(folder, part[1]))
    shutil.rmtree(folder, ignore_errors=True)
    return sound


def trim_output(folder, leftovers):
    """Deletes an output folder, or only its large files when it holds many.

    Without a journal, ext4 does not hand out again, for a minute or more,
    the inodes of files it just deleted, and scans past them: creating files
    after a tree of 20,000 was removed gets tens of times slower. Trees of
    many files are therefore kept until every archive has been timed.
    """
    names = []
    for base, _, files in os.walk(folder):
        names += [os.path.join(base, name) for name in files]
    if len(names) < MANY_FILES:
        shutil.rmtree(folder, ignore_errors=True)
        return
    for name in names:
        if os.path.getsize(name) > (1 << 20):
            os.remove(name)
    leftovers.append(folder)


def summarise(values):
    walls = [v[0] for v in values]
    return {
        "median": statistics.median(walls),
        "min": min(walls),
        "max": max(walls),
        "cpu": statistics.median(v[1] for v in values),
        "rss": max(v[2] for v in values),
        "runs": len(walls),
    }


def stub_sizes(stub):
    folder = os.path.dirname(stub)
    rows = []
    for name, note in [(os.path.basename(stub), "Linux x86-64"), ("sfxstub-win32.exe", "Windows i686"),
                       ("sfxstub-win64.exe", "Windows x86-64")]:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            rows.append((name, note, os.path.getsize(path)))
    if os.path.exists("/usr/bin/unzipsfx"):
        rows.append(("unzipsfx (peer)", "Linux x86-64, Info-ZIP", os.path.getsize("/usr/bin/unzipsfx")))
    return rows


def time_builders(data, mksfx, runs, log):
    """Time to build a self-extractor of the whole corpus: mksfx against zip -r -6."""
    corpus = os.path.join(data, "corpus")
    scratch = scratch_folder(data)
    os.makedirs(scratch, exist_ok=True)
    members = sorted(os.listdir(corpus))
    builders = [("zip -r -6", lambda out: ["zip", "-q", "-r", "-6", out] + members, ".zip")]
    if mksfx:
        builders.append(("mksfx -6", lambda out: [mksfx, "-q", "-6", "-o", out] + members, ".sfx"))
    results = {}
    for round_number in range(runs):
        for name, command, suffix in (builders if round_number % 2 == 0 else builders[::-1]):
            out = os.path.join(scratch, "built" + suffix)
            if os.path.exists(out):
                os.remove(out)
            settle(False, [])
            wall, cpu, rss, status, error = timed_run(command(out), corpus)
            size = os.path.getsize(out) if os.path.exists(out) else 0
            results.setdefault(name, []).append((wall, cpu, rss, status, size))
            log("  %-10s %8.1f ms  %d bytes%s" % (name, wall * 1000, size, "" if status == 0 else " FAILED"))
            os.remove(out) if os.path.exists(out) else None
    return results


def machine_line():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, Linux %s" % (cpu, os.cpu_count() or 0, platform.release())


def commit_line():
    try:
        out = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                             stdin=subprocess.DEVNULL)
        return out.stdout.strip() or "unknown"
    except OSError:
        return "unknown"


def fmt_ms(seconds):
    return "%.0f" % (seconds * 1000) if seconds >= 0.1 else "%.1f" % (seconds * 1000)


def render_report(results, tools, sizes, builders, command_line, chart_name, runs, data):
    lines = [BEGIN_MARK, ""]
    if runs == 1:
        lines += ["**Smoke run: one round on a tiny corpus; these numbers mean nothing.**", ""]
    lines.append("Produced by `%s` on %s UTC, commit %s; %s. %d interleaved rounds per archive (more for the short ones). "
                 "Times are wall-clock milliseconds of the whole process (start to exit), "
                 "CPU is user + system time, RSS the peak resident set."
                 % (command_line, datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"), commit_line(),
                    machine_line(), runs))
    lines.append("")
    if chart_name:
        lines += ["![Median extraction time of each tool, per archive](%s)" % chart_name, ""]
    lines += ["### Targets", "", "| target | measured | verdict |", "|---|---|---|"]
    for archive, peer, limit in TARGETS:
        entry = results.get(archive)
        if not entry or "sfxstub" not in entry[0] or peer not in entry[0]:
            continue
        ratio = entry[0]["sfxstub"]["median"] / entry[0][peer]["median"]
        title = next(w[0] for w in WORKLOADS if w[1] == archive)
        lines.append("| %s: sfxstub <= %g x %s | %.2f x | %s |" % (title, limit, peer, ratio,
                                                                      "met" if ratio <= limit else "**missed**"))
    if any("sfxstub" in entry[0] for entry in results.values()):
        over = [archive for archive, entry in results.items() if "sfxstub memory" in entry[1]]
        lines.append("| anonymous memory of sfxstub < %d MiB (runs under RLIMIT_DATA), every archive | %s | %s |"
                     % (DATA_LIMIT_BYTES >> 20, "over on " + ", ".join(over) if over else "within",
                        "**missed**" if over else "met"))
    win32 = [s for s in sizes if s[0] == "sfxstub-win32.exe"]
    if win32:
        lines.append("| sfxstub-win32.exe < 90 KiB | %.1f KiB | %s |"
                     % (win32[0][2] / 1024, "met" if win32[0][2] < WIN32_SIZE_TARGET else "**missed**"))
    if "mksfx -6" in builders and "zip -r -6" in builders:
        m = statistics.median(r[0] for r in builders["mksfx -6"])
        z = statistics.median(r[0] for r in builders["zip -r -6"])
        stub_size = next((s[2] for s in sizes if s[1] == "Linux x86-64"), 0)
        ms, zs = builders["mksfx -6"][0][4], builders["zip -r -6"][0][4] + stub_size
        lines.append("| mksfx of the corpus: time <= zip -r -6 | %.2f x | %s |" % (m / z, "met" if m <= z else "**missed**"))
        lines.append("| mksfx of the corpus: size <= zip -r -6 archive + Linux stub | %s vs %s B | %s |"
                     % (format(ms, ","), format(zs, ","), "met" if ms <= zs else "**missed**"))
    lines.append("")
    for title, archive, _, drop_cache, _ in WORKLOADS:
        if archive not in results:
            continue
        summary, failures = results[archive]
        size = os.path.getsize(os.path.join(data, archive))
        lines += ["### %s" % title, "",
                  "`%s`, %s bytes, %d rounds%s." % (archive, format(size, ","), summary[next(iter(summary))]["runs"],
                                         "; page cache dropped and archive re-read before each run" if drop_cache
                                         else "; archive in the page cache"),
                  "",
                  "| tool | median ms | min | max | CPU ms | peak RSS MiB | time / sfxstub's |",
                  "|---|---:|---:|---:|---:|---:|---:|"]
        base = summary.get("sfxstub", {}).get("median")
        for tool in tools:
            s = summary.get(tool.name)
            if s is None:
                continue
            ratio = "%.2f" % (s["median"] / base) if base else "-"
            name = tool.name if tool.name not in failures else "%s (failed: %s)" % (tool.name, failures[tool.name])
            lines.append("| %s | %s | %s | %s | %s | %.2f | %s |"
                         % ("**%s**" % name if tool.name == "sfxstub" else name, fmt_ms(s["median"]),
                            fmt_ms(s["min"]), fmt_ms(s["max"]), fmt_ms(s["cpu"]), s["rss"] / 1024, ratio))
        lines.append("")
    lines += ["### Commands", "", "Each tool runs in a fresh empty folder, standard output to /dev/null:", ""]
    for tool in tools:
        lines.append("- %s: `%s`" % (tool.name, tool.shown))
    lines += ["", "### Stub sizes", "", "| file | platform | bytes | KiB |", "|---|---|---:|---:|"]
    for name, note, size in sizes:
        lines.append("| %s | %s | %s | %.1f |" % (name, note, format(size, ","), size / 1024))
    if builders:
        lines += ["", "### Building a self-extractor of the whole corpus", "",
                  "Run in `corpus/` on every top-level entry: `zip -q -r -6 OUT ...` and `mksfx -q -6 -o OUT ...` "
                  "(mksfx output includes the Linux stub; zip's archive does not).", "",
                  "| builder | median ms | min | max | output bytes |", "|---|---:|---:|---:|---:|"]
        for name, rows in builders.items():
            walls = [r[0] for r in rows]
            lines.append("| `%s` | %s | %s | %s | %s |" % (name, fmt_ms(statistics.median(walls)), fmt_ms(min(walls)),
                                                           fmt_ms(max(walls)), format(rows[0][4], ",")))
    lines += ["", END_MARK]
    return "\n".join(lines) + "\n"


def write_report(path, block):
    text = ""
    if os.path.exists(path):
        with open(path) as f:
            text = f.read()
    if BEGIN_MARK in text and END_MARK in text:
        head = text[: text.index(BEGIN_MARK)]
        tail = text[text.index(END_MARK) + len(END_MARK):].lstrip("\n")
        text = head + block + ("\n" + tail if tail else "")
    else:
        text = (text or "# Performance\n\n") + block
    with open(path, "w") as f:
        f.write(text)


def draw_chart(results, tools, path, log):
    """One panel per archive, a bar per tool (median, with min-max whiskers)."""
    if shutil.which("gnuplot") is None:
        log("gnuplot not found: no chart")
        return False
    work = tempfile.mkdtemp(prefix="chart-")
    script = ["set terminal pngcairo size 1200,760 font 'DejaVu Sans,10'" if _has_cairo() else
              "set terminal png size 1200,760",
              "set output '%s'" % path, "set multiplot layout 2,2 title "
              "'Extraction time, median of interleaved runs (whiskers: min-max; lower is faster)'",
              "set style fill solid 0.85 border -1", "set boxwidth 0.7", "set grid ytics", "set yrange [0:*]",
              "set xtics rotate by -30 nomirror", "set ylabel 'seconds'", "unset key"]
    for index, (title, archive, _, _, _) in enumerate(WORKLOADS):
        if archive not in results:
            continue
        data_path = os.path.join(work, "%d.dat" % index)
        with open(data_path, "w") as f:
            for i, tool in enumerate(t for t in tools if t.name in results[archive][0]):
                s = results[archive][0][tool.name]
                colour = "0xC0392B" if tool.name == "sfxstub" else "0x5D7FA3"
                f.write('%d "%s" %.4f %.4f %.4f %s\n' % (i, tool.name, s["median"], s["min"], s["max"], colour))
        script += ["set title '%s'" % title,
                   "plot '%s' using 1:3:6:xtic(2) with boxes lc rgb variable, "
                   "'' using 1:3:4:5 with yerrorbars lc rgb 'black' pt -1, "
                   "'' using 1:3:(sprintf('%%.3g', $3)) with labels offset 1.6,0.7" % data_path]
    script.append("unset multiplot")
    script_path = os.path.join(work, "chart.gp")
    with open(script_path, "w") as f:
        f.write("\n".join(script) + "\n")
    done = subprocess.run(["gnuplot", script_path], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)
    if done.returncode != 0:
        log("gnuplot failed: " + done.stderr)
        return False
    return True


def _has_cairo():
    out = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return "pngcairo" in out.stdout + out.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--stub", default=os.path.join(REPO, "build", "sfxstub"), help="the Linux stub; the "
                        "Windows stubs are looked for next to it (sizes only)")
    parser.add_argument("--data", default="/var/tmp/sfxstub-bench", help="corpus, archives and run folders")
    parser.add_argument("--runs", type=int, default=7, help="interleaved rounds per archive")
    parser.add_argument("--smoke", action="store_true", help="tiny corpus, one round, no chart")
    parser.add_argument("--report", default=os.path.join(REPO, "docs", "performance.md"))
    parser.add_argument("--chart", default=None, help="PNG path (default: performance.png next to the report)")
    parser.add_argument("--only", action="append", help="archive names to run (repeatable)")
    parser.add_argument("--mksfx", default=None, help="time this builder against zip -r -6 (default: "
                        "tools/mksfx/mksfx in the stub's build folder, when built)")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args()
    log = (lambda text: None) if args.quiet else (lambda text: print(text, flush=True))
    runs = 1 if args.smoke else args.runs
    DROP_CACHES[0] = not args.smoke

    stub = os.path.abspath(args.stub)
    if not os.path.exists(stub):
        print("no stub at %s: build it first" % stub, file=sys.stderr)
        return 1
    data = os.path.abspath(args.data)
    log("corpus in %s" % data)
    make_corpus.ensure(data, "smoke" if args.smoke else "full")
    earlier = os.path.join(data, "runs")
    if os.path.isdir(earlier) and os.listdir(earlier):
        log("note: output of an earlier run is still in %s (a background deletion may be going on); "
            "file creation is slower until it is gone" % earlier)

    tools = [t for t in make_tools(stub, build_floor(data)) if t.available()]
    results = {}
    failed = False
    leftovers = []
    for workload in WORKLOADS:
        if args.only and workload[1] not in args.only:
            continue
        log("%s (%s)" % (workload[0], workload[1]))
        samples, failures = run_workload(workload, tools, data, runs * (1 if args.smoke else workload[4]), log,
                                         leftovers)
        results[workload[1]] = ({name: summarise(v) for name, v in samples.items()}, failures)
        if "sfxstub" in failures:
            print("sfxstub failed on %s: %s" % (workload[1], failures["sfxstub"]), file=sys.stderr)
            failed = True
    builders = {}
    mksfx = args.mksfx or os.path.join(os.path.dirname(stub), "tools", "mksfx", "mksfx")
    if args.mksfx or not args.only:
        log("building a self-extractor of the corpus")
        builders = time_builders(data, os.path.abspath(mksfx) if os.path.exists(mksfx) else None, runs, log)

    chart_path = args.chart or os.path.join(os.path.dirname(os.path.abspath(args.report)), "performance.png")
    chart_name = None
    if not args.smoke and draw_chart(results, tools, chart_path, log):
        chart_name = os.path.relpath(chart_path, os.path.dirname(os.path.abspath(args.report)))
    command_line = "python3 bench/run_bench.py " + " ".join(sys.argv[1:])
    block = render_report(results, tools, stub_sizes(stub), builders, command_line.strip(), chart_name, runs, data)
    write_report(args.report, block)
    log("report: %s" % args.report)
    if leftovers:
        # Deleting a million files takes minutes here: it goes on in the background.
        log("deleting %d output trees in the background (rm -rf)" % len(leftovers))
        subprocess.Popen(["rm", "-rf", scratch_folder(data)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    else:
        shutil.rmtree(scratch_folder(data), ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
