#!/usr/bin/env bash
# Runs every test of a build tree: GoogleTest through ctest, then pytest on the built package.
# Exits non-zero when either runner reports a failure (or pytest collects nothing).
# With QALTO_ASAN set, the build tree is a sanitizer build (make test-asan) and pytest runs
# the instrumented module inside the uninstrumented interpreter.
set -uo pipefail
build=${1:-build}
status=0
if [ -n "${QALTO_ASAN:-}" ]; then
  # Any undefined behaviour stops the test with a stack; the C++ tests keep leak detection.
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
(cd "$build" && ctest --output-on-failure -j "$(nproc)") || status=1
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
if [ -n "${QALTO_ASAN:-}" ]; then
  # The interpreter is not instrumented: the ASan runtime must be loaded before anything else,
  # or the module refuses to load. UBSan's runtime comes along for the module's checks.
  asan=$(g++ -print-file-name=libasan.so)
  ubsan=$(g++ -print-file-name=libubsan.so)
  for lib in "$asan" "$ubsan"; do
    if [ ! -e "$lib" ]; then
      echo "run_tests.sh: sanitizer runtime $lib not found" >&2
      exit 1
    fi
  done
  export LD_PRELOAD="$asan $ubsan"
  # Leaks are reported, except the interpreter's and numpy's own: CPython frees little at exit
  # by design (scripts/lsan-python.supp). A suppression matches any frame of the allocation's
  # stack, and every call of ours runs under interpreter frames: only the innermost frames are
  # kept, so that the interpreter's frames match its own allocations and not ours.
  export ASAN_OPTIONS=detect_leaks=1:malloc_context_size=${QALTO_LEAK_FRAMES:-3}
  export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan-python.supp:print_suppressions=0
  # Python objects then come from the intercepted malloc, so overruns into them are caught.
  export PYTHONMALLOC=malloc
  # Refuse to report a sanitized run unless the interpreter really runs under the runtime.
  if ! /usr/bin/python3 -c "import sys; sys.exit('libasan' not in open('/proc/self/maps').read())"; then
    echo "run_tests.sh: the sanitizer runtime is not loaded into the interpreter" >&2
    exit 1
  fi
  echo "pytest runs under AddressSanitizer and UndefinedBehaviorSanitizer ($asan)"
fi
/usr/bin/python3 -m pytest -q tests/python || status=1
exit $status
