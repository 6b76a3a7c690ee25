#!/usr/bin/env bash
# Runs every test of a build tree: GoogleTest through ctest, then pytest on the built package.
# Exits non-zero when either runner reports a failure (or pytest collects nothing).
set -uo pipefail
build=${1:-build}
status=0
(cd "$build" && ctest --output-on-failure -j "$(nproc)") || status=1
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
if [ -n "${QALTO_ASAN:-}" ]; then
  # The interpreter is not instrumented: preload the sanitizer runtimes for the module.
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  export ASAN_OPTIONS=detect_leaks=0
fi
/usr/bin/python3 -m pytest -q tests/python || status=1
exit $status
