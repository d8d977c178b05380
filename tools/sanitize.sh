#!/usr/bin/env bash
# Builds _kestro with AddressSanitizer and UndefinedBehaviorSanitizer into a virtual
# environment of its own and runs the whole test suite under it. Any sanitizer report ends
# the run with a failure.
#
#   tools/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${KESTRO_SANITIZE_VENV:-build/sanitize-venv}
python -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q ".[test]" \
  -C cmake.define.KESTRO_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/sanitize

# The interpreter is not instrumented, so the runtime must be loaded first, with the C++
# runtime beside it (ASan intercepts throwing exceptions only if it finds it). Python's own
# allocator is switched off so that ASan sees every block the engine touches; leak checking
# is off because the interpreter keeps its objects at exit.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
