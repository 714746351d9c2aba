"""Hostile values, nested structures, shapes and strings fed to the public
functions that take outside data (cases in fuzz_cases.py), batch by batch in
child processes so that a crash fails the test instead of the run.

ZEL_FUZZ_CASES sets the number of cases (20,000 by default), ZEL_FUZZ_SEED
the seed; a failing batch is replayed with
    python tests/fuzz_cases.py SEED FIRST COUNT
(ZEL_FUZZ_TRACE=1 prints each case number before it runs)."""
import json
import os
import subprocess
import sys
from pathlib import Path

CASES = int(os.environ.get("ZEL_FUZZ_CASES", "20000"))
SEED = os.environ.get("ZEL_FUZZ_SEED", "zel")
BATCH = 5000
WORKER = Path(__file__).with_name("fuzz_cases.py")


def test_hostile_calls_never_crash_or_mislead():
    env = dict(os.environ, ZEL_DEVICE="host")
    total, outcomes, findings = 0, {}, []
    for first in range(0, CASES, BATCH):
        count = min(BATCH, CASES - first)
        proc = subprocess.run([sys.executable, str(WORKER), SEED, str(first), str(count)], capture_output=True,
                              text=True, env=env, timeout=600)
        assert proc.returncode == 0, (f"batch {SEED} {first} {count} died with {proc.returncode}:\n"
                                      f"{proc.stderr[-3000:]}")
        report = json.loads(proc.stdout.splitlines()[-1])
        total += report["cases"]
        for k, v in report["outcomes"].items():
            outcomes[k] = outcomes.get(k, 0) + v
        findings += report["findings"]
    print(f"\n{total} cases, seed {SEED!r}: {outcomes}; {len(findings)} findings")
    for line in findings:
        print(line)
    assert total == CASES
    assert not findings, "\n".join(findings[:50])
