"""Monte Carlo temporaries reuse freed memory instead of faulting in fresh pages each step."""

import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux") or "libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="glibc's allocator (under AddressSanitizer, malloc is ASan's)")

# Four 3 MiB arrays (below NumPy's huge-page size) made and freed twenty times, as a path
# source's temporaries are; counts the page faults after the first round.
PROGRAM = """
import json, resource
import numpy as np
from kestro import allocator
tuned = allocator.reuse_large_blocks()
again = allocator.reuse_large_blocks()
def step():
    arrays = [np.ones(3 << 17) for _ in range(4)]
    del arrays
step()
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(20):
    step()
print(json.dumps({"tuned": tuned, "again": again,
                  "faults": resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before}))
"""
PAGES_PER_STEP = 4 * (3 << 20) // 4096


def run_program(extra_env):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MALLOC_")}
    env.update(extra_env)
    done = subprocess.run([sys.executable, "-c", PROGRAM], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_freed_path_arrays_are_reused_without_new_page_faults():
    found = run_program({})
    assert found["tuned"] and not found["again"]
    assert found["faults"] < PAGES_PER_STEP  # twenty steps: a step's worth of faults at most


def test_allocator_settings_chosen_in_the_environment_are_left_alone():
    found = run_program({"MALLOC_TRIM_THRESHOLD_": "131072"})
    assert not found["tuned"]
    assert found["faults"] > 10 * PAGES_PER_STEP  # what the tuning saves: fresh pages at every step
