"""Runs the stateful machines of tests/test_stateful.py for SECONDS (default 60).

Each round runs one machine for a batch of fresh random examples. A failing
sequence is shrunk by hypothesis and written to build/fuzz-failures/ as a
script that repeats it; the run then exits with status 1. Started by
./run fuzz [seconds] under the sanitizer build.
"""

import datetime
import math
import sys
import time
import traceback
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS))

from hypothesis import HealthCheck, settings  # noqa: E402
from hypothesis.stateful import run_state_machine_as_test  # noqa: E402

import test_stateful  # noqa: E402

FAILURES = TESTS.parent / "build" / "fuzz-failures"
ROUND = settings(max_examples=25, stateful_step_count=40, deadline=None, database=None,
                 suppress_health_check=list(HealthCheck), print_blob=False)

SCRIPT_HEAD = '''"""A failing case found by ./run fuzz on {when} ({machine}): the shrunk call sequence.

Run it from the repository with the interpreter of .venv-asan (or .venv):
    .venv-asan/bin/python {path}
"""
import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))

import numpy as np  # noqa: F401  (the steps may name numpy scalars)
from number_likes import Index, Opaque, Real  # noqa: F401
from test_stateful import FlatMachine, GraphMachine  # noqa: F401

nan, inf = math.nan, math.inf

{steps}
print("the sequence ran through: the failure did not repeat")
'''


def steps_of(error):
    """The reproducing steps hypothesis attached to the error."""
    notes = getattr(error, "__notes__", [])
    lines = [line for note in notes for line in note.splitlines()]
    starts = [i for i, line in enumerate(lines) if line.startswith("state = ")]
    return lines[starts[-1]:] if starts else []


def write_case(machine, error):
    FAILURES.mkdir(parents=True, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    path = FAILURES / f"{machine.__name__}-{stamp}.py"
    steps = steps_of(error) or ["# hypothesis gave no steps; its report:"] + [
        "# " + line for line in traceback.format_exception(error)]
    path.write_text(SCRIPT_HEAD.format(when=stamp, machine=machine.__name__, path=path.relative_to(TESTS.parent),
                                       steps="\n".join(steps)))
    return path


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    if not math.isfinite(seconds) or seconds <= 0:
        sys.exit("usage: ./run fuzz [seconds]  (a positive number of seconds)")
    machines = [test_stateful.FlatMachine, test_stateful.GraphMachine]
    end = time.monotonic() + seconds
    rounds = 0
    while time.monotonic() < end:
        machine = machines[rounds % len(machines)]
        rounds += 1
        try:
            run_state_machine_as_test(machine, settings=ROUND)
        except Exception as error:
            path = write_case(machine, error)
            traceback.print_exception(error)
            print(f"==> {machine.__name__} failed; the shrunk case is in {path}")
            return 1
    counts = ", ".join(f"{name}: {count:,} sequences" for name, count in sorted(test_stateful.RUNS.items()))
    print(f"==> fuzzed for {seconds:.0f} s, {rounds} rounds: {counts}; no failure")
    return 0


if __name__ == "__main__":
    sys.exit(main())
