"""Runs the test suite (pytest ARGS) or the stateful fuzzer (fuzz [SECONDS]) under
AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, then judges the reports.

Called by ./run sanitize and ./run fuzz with the interpreter of .venv-asan,
where quarix is built with the sanitizers. Every process started from here
(pytest, the subprocesses of the tests, Ray's workers) has the runtimes
preloaded and writes its reports to build/asan/reports. The run fails when a
process fails (an address or undefined-behaviour error ends its process), or
when a leak report names quarix code; leaks that name no quarix code are
counted and listed by where they come from, not judged.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
REPORTS = ROOT / "build" / "asan" / "reports"
SUPPRESSIONS = Path(__file__).resolve().parent / "lsan.supp"

# A frame in the module's own sources, its library, or its namespace.
QUARIX_FRAME = re.compile(r"/src/(binding|errors|flat|hnsw|metrics)/|quarix\.cpython|\bquarix::")
RAY_FRAME = re.compile(r"/site-packages/ray/")
RAY_SESSIONS = Path(os.environ.get("RAY_TMPDIR") or tempfile.gettempdir()) / "ray"
# A frame as Ray's own fault handler logs it: "logging.cc:474:     @     0x7ff8...  80  absl::Mutex::LockSlow()".
RAY_LOGGED_FRAME = re.compile(r"logging\.cc:\d+: +(PC: )?@ +0x[0-9a-f]+")


def runtime(name):
    path = subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()
    if not os.path.isabs(path):
        sys.exit(f"error: g++ does not know {name}; install its sanitizer runtimes (libasan, libubsan)")
    return path


def environment():
    env = dict(os.environ)
    env["LD_PRELOAD"] = f"{runtime('libasan.so')}:{runtime('libubsan.so')}"
    # Every Python object through malloc, so the sanitizer sees each one.
    env["PYTHONMALLOC"] = "malloc"
    env["ASAN_OPTIONS"] = ":".join([
        f"log_path={REPORTS / 'asan'}", "detect_leaks=1", "malloc_context_size=12",
        # CPython has no frame pointers: only the slow unwinder finds quarix's frames under its calls.
        # (The tests' local Ray workers get the fast one: see tests/run_mode.py.)
        "fast_unwind_on_malloc=0", "detect_stack_use_after_return=0",
    ])
    # Leak reports never change an exit status (the tests' own subprocesses check theirs); they are judged below.
    env["LSAN_OPTIONS"] = f"suppressions={SUPPRESSIONS}:exitcode=0:print_suppressions=0"
    env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
    return env


def leak_records(text):
    """Each 'Direct/Indirect leak' record of an LSan report, as its lines."""
    records, current = [], None
    for line in text.splitlines():
        if re.match(r"(Direct|Indirect) leak of", line):
            current = [line]
            records.append(current)
        elif current is not None:
            if not line.strip() or line.startswith("SUMMARY"):
                current = None
            else:
                current.append(line)
    return records


def origin(record):
    """Where a leak comes from, for the tally: the first frame below the allocator."""
    for line in record[1:]:
        if not re.search(r" in (malloc|calloc|realloc|operator new|__interceptor_|_Py.*Alloc|PyMem_|PyObject_Malloc)",
                         line):
            return re.sub(r"^\s*#\d+ 0x[0-9a-f]+ in ", "", line).split(" (")[0][:90]
    return "?"


def ray_logged_stack(pid, since):
    """The stack that Ray's own fault handler logged for worker process `pid` in this run.
    That handler runs before the sanitizer's, whose report of the fault then stops
    before its stack."""
    for log in RAY_SESSIONS.glob(f"session_*/logs/worker-*-{pid}.err"):
        if log.stat().st_mtime >= since:
            return [line for line in log.read_text(errors="replace").splitlines() if RAY_LOGGED_FRAME.search(line)]
    return []


def judge(since):
    errors, ray_errors, quarix_leaks, other = [], [], [], Counter()
    for report in sorted(REPORTS.glob("asan.*")):
        text = report.read_text(errors="replace")
        if re.search(r"ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)", text):
            # Ray's own library has faults of its own in its processes (its
            # process-title code reads freed memory now and then); an error
            # whose stack stays inside Ray is listed, not judged.
            frames = [line for line in text.split("SUMMARY:")[0].splitlines() if re.match(r"\s*#\d+ ", line)]
            faulting = next((f for f in frames if "libsanitizer" not in f and "__interceptor_" not in f), "")
            inside_ray = bool(RAY_FRAME.search(faulting)) and not any(QUARIX_FRAME.search(f) for f in frames)
            if not frames:
                # Ray's log names symbols, not files: a fault at a named symbol, with no
                # quarix code on the stack, is Ray's own.
                logged = ray_logged_stack(report.name.split(".")[-1], since)
                named = bool(logged) and "PC:" in logged[0] and not logged[0].rstrip().endswith("(unknown)")
                inside_ray = named and not any(QUARIX_FRAME.search(f) for f in logged)
                text += "\n(stack as Ray logged it:)\n" + "\n".join(logged)
            (ray_errors if inside_ray else errors).append((report, text))
        for record in leak_records(text):
            if any(QUARIX_FRAME.search(line) for line in record[1:]):
                quarix_leaks.append((report, record))
            else:
                other[origin(record)] += 1
    for report, text in errors:
        print(f"\n==> sanitizer error in {report.name}:\n{text}")
    for report, text in ray_errors:
        print(f"\n==> sanitizer error inside Ray's own library, in {report.name} (not judged):\n"
              + "\n".join([line for line in text.splitlines() if line.strip()][:8]))
    for report, record in quarix_leaks:
        print(f"\n==> leak naming quarix code, in {report.name}:\n" + "\n".join(record))
    print(f"\n==> sanitizer reports: {len(list(REPORTS.glob('asan.*')))} files; {len(errors)} with errors; "
          f"{len(ray_errors)} with errors inside Ray's library only; {len(quarix_leaks)} leak records naming quarix code; {sum(other.values())} other leak records "
          "(the interpreter's and other libraries' own, not judged)")
    for where, count in other.most_common(5):
        print(f"    {count:6d}  {where}")
    return not errors and not quarix_leaks


def pytest_commands(args):
    """The tests marked `ray` get a pytest process of their own: started from one that has
    run the rest of the suite under the sanitizers, a local Ray was slow to start.
    ARGS go to both; without a path among them the whole suite is run. ARGS that
    choose by marker themselves (-m) run in one process, as given."""
    has_path = any(not arg.startswith("-") and Path(arg.split("::")[0]).exists() for arg in args)
    base = [sys.executable, "-m", "pytest", *args, *([] if has_path else [str(ROOT / "tests")])]
    if "-m" in args:
        return [base]
    return [[*base, "-m", "not ray"], [*base, "-m", "ray"]]


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    shutil.rmtree(REPORTS, ignore_errors=True)
    REPORTS.mkdir(parents=True)
    started = time.time()
    if mode == "pytest":
        commands = pytest_commands(args)
    else:
        commands = [[sys.executable, str(Path(__file__).resolve().parent / "fuzz.py"), *args]]
    status = 0
    for command in commands:
        print(f"==> under the sanitizers: {' '.join(command)}", flush=True)
        done = subprocess.run(command, env=environment(), cwd=ROOT).returncode
        # 5: pytest collected nothing, as when -k selects tests of the other process only.
        if done not in (0, 5) or (done == 5 and len(commands) == 1):
            status = status or done
    clean = judge(started)
    if status != 0:
        print(f"==> {mode} exited with status {status}")
    return 0 if status == 0 and clean else 1


if __name__ == "__main__":
    sys.exit(main())
