#!/usr/bin/env bash
# The sanitizer runs: the C++ tests under AddressSanitizer (with its leak
# checker) and UndefinedBehaviorSanitizer, then the Python test suite once
# against an extension module built with both. Any sanitizer report, leaks
# included, fails the run.
#
#   bash tests/sanitize.sh [cpp|python|all] [pytest arguments]
#
# (default: all, and the whole of tests/python.)
# Builds in build/sanitize-cpp and build/sanitize-python; needs g++, CMake,
# GoogleTest and pytest, which tests/run.sh installs.
set -euo pipefail

what=${1:-all}
shift || true
if [ "$#" -eq 0 ]; then set -- tests/python; fi
cd "$(dirname "${BASH_SOURCE[0]}")/.."
here=$PWD
# The interpreter itself, not a launcher script (such as a pyenv shim) that
# would run under the preloaded sanitizer runtime too.
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')

# halt_on_error and abort_on_error: the first report ends the process with a
# failure, so that no test can pass over one.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

configure() {
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFENMOR_SANITIZE=address,undefined "${@:2}" >/dev/null
}

run_cpp() {
  echo "== C++ tests under ASan and UBSan"
  # Each step checks its own status: errexit does not hold inside a function
  # called as `run_cpp || ...`.
  configure build/sanitize-cpp -DFENMOR_BUILD_TESTS=ON -DFENMOR_BUILD_PYTHON=OFF || return
  cmake --build build/sanitize-cpp -j2 || return
  # Left out: forking while another thread allocates. This ASan runtime (GCC
  # 12's) does not lock its allocator around fork(), so the child may inherit
  # an allocator lock held by a thread that no longer exists and hang in its
  # first allocation; glibc's malloc, which the radar uses otherwise, does.
  (cd build/sanitize-cpp &&
    ctest --output-on-failure --no-tests=error -E 'SharedPool\.ForkWhileAnotherThreadKeepsThePoolBusy')
}

run_python() {
  echo "== Python tests against an ASan and UBSan build of the extension"
  configure build/sanitize-python -DFENMOR_BUILD_TESTS=OFF -DFENMOR_BUILD_PYTHON=ON \
    "-DPython_EXECUTABLE=$python" || return
  cmake --build build/sanitize-python -j2 \
    --target _fenmor_radar _native || return
  # The package as installed, with the instrumented module in it, found
  # ahead of any installed copy.
  local site=build/sanitize-python/site
  rm -rf "$site"
  mkdir -p "$site"
  cp -r python/fenmor_radar "$site/"
  find "$site" -name '*.so' -delete
  cp build/sanitize-python/bindings/*.so "$site/fenmor_radar/" || return

  # The interpreter is not instrumented, so the runtime must be loaded before
  # it starts. PYTHONMALLOC=malloc puts Python objects under ASan's eye too,
  # so that a reference-count fault shows up as a use after free.
  #
  # intercept_tls_get_addr=0: GCC 12's runtime (like LLVM's before 17) takes
  # a thread-local block that glibc happened to allocate at offset 16 of a
  # page for the header of a glibc older than 2.25 and reads its bounds from
  # the two words before it. The leak checker's tracer then scans a made-up
  # range and crashes at the process's exit, and the process exits with the
  # sanitizer's exit code instead of its own: a test of the command line's
  # exit status then fails (or passes) by chance. Where the block lands
  # depends on every allocation before it, so on the interpreter's paths: a
  # virtual environment's interpreter hit it, the machine's did not. Glibc
  # 2.25 and later allocate those blocks with malloc, so the leak checker
  # still sees them as heap blocks.
  #
  # Reports are judged from the logs, not by exit codes (exitcode=0):
  # CPython and other extension modules (orjson, Dask) leave objects behind
  # at exit that are none of the radar's business. Every process, test
  # children included, writes its report to $logs; a leak whose allocation
  # passes through the radar's code fails the run, the others are counted.
  # The suppressions name the one leak that is by design (see the file). A
  # leak check that the leak checker itself cut short also fails the run: the
  # process it ended lost its own exit status, so its test proved nothing.
  local logs=build/sanitize-python/reports
  rm -rf "$logs"
  mkdir -p "$logs"
  # The C++ runtime is preloaded with the sanitizer's: the interpreter does
  # not link it, so without it the sanitizer finds no __cxa_throw to forward
  # to, and the first exception a C++ library throws (pyarrow reading a
  # damaged Parquet file) kills the process with a failed CHECK.
  local runtime cxx_runtime
  runtime=$(g++ -print-file-name=libasan.so) || return
  cxx_runtime=$(g++ -print-file-name=libstdc++.so.6) || return
  local sanitized=(env PYTHONPATH="$here/$site" LD_PRELOAD="$runtime:$cxx_runtime" PYTHONMALLOC=malloc
    ASAN_OPTIONS="$ASAN_OPTIONS:intercept_tls_get_addr=0:abort_on_error=0:exitcode=0"
    LSAN_OPTIONS="suppressions=$here/tests/sanitize_python.supp:print_suppressions=0:exitcode=0"
    FENMOR_SANITIZED=1 PYTHONFAULTHANDLER=1)

  # The tests must import the instrumented module, not an installed copy (an
  # editable install's import hook would come first).
  local module probe=build/sanitize-python/probe.log
  module=$("${sanitized[@]}" "$python" -c \
    'import fenmor_radar._fenmor_radar as m; print(m.__file__)' 2>"$probe") || true
  if [[ "$module" != "$here/$site/"* ]]; then
    echo "the sanitized run would not test the instrumented module but '$module':" >&2
    cat "$probe" >&2
    return 1
  fi
  # The leak checker stops every thread with ptrace; where it cannot (under a
  # debugger or strace, or where ptrace is denied), it dies at each exit and
  # takes the process's exit status with it. There the run checks memory
  # errors only and says so, rather than let tests pass or fail by chance.
  local leaks=1
  if grep -q 'LeakSanitizer has encountered a fatal error' "$probe"; then
    leaks=0
    echo "LEAK CHECK OFF: LeakSanitizer cannot stop threads here (below);" \
      "memory errors are still checked" >&2
    grep -E 'Tracer|LeakSanitizer|HINT' "$probe" >&2 || true
  fi

  local status=0
  "${sanitized[@]}" \
    ASAN_OPTIONS="$ASAN_OPTIONS:intercept_tls_get_addr=0:abort_on_error=0:exitcode=0:detect_leaks=$leaks:log_path=$here/$logs/asan" \
    "$python" -m pytest -p no:cacheprovider -q "$@" || status=$?
  "$python" - "$logs" "$here" <<'TRIAGE' || status=$?
import pathlib, re, sys

logs, here = pathlib.Path(sys.argv[1]), sys.argv[2]
ours = re.compile(r"_fenmor_|_native|" + re.escape(here) + r"/(json|crates|bindings)/")
flagged, others, errors, unchecked = [], 0, [], 0
for log in sorted(logs.glob("asan.*")):
    text = log.read_text(errors="replace")
    if "LeakSanitizer has encountered a fatal error" in text:
        unchecked += 1
        errors.append(f"{log.name}: the leak checker died at this process's exit, "
                      "which lost the process's own exit status:\n" + text[-2000:])
    for block in re.split(r"\n\s*\n", text):
        if re.search(r"^(Direct|Indirect) leak of", block, re.M):
            if ours.search(block):
                flagged.append(f"{log.name}:\n{block}")
            else:
                others += 1
        elif ("ERROR: AddressSanitizer" in block or "runtime error:" in block
              or "AddressSanitizer: CHECK failed" in block):
            errors.append(f"{log.name}:\n{block}")
for report in errors + flagged:
    print(report, "\n", file=sys.stderr)
print(f"sanitizer reports: {len(errors)} errors, {len(flagged)} leaks through the radar's code, "
      f"{others} leaks elsewhere (the interpreter, other modules) ignored, "
      f"{unchecked} processes whose leak check the leak checker itself cut short")
sys.exit(1 if errors or flagged else 0)
TRIAGE
  if [ "$status" -ne 0 ]; then
    echo "the Python suite failed under the sanitizers (exit $status)" >&2
    return "$status"
  fi
}

case "$what" in
  cpp) run_cpp ;;
  python) run_python "$@" ;;
  all)
    # Both run even when the first fails, so that one run shows every finding.
    status=0
    run_cpp || status=$?
    run_python "$@" || status=$?
    exit "$status"
    ;;
  *) echo "usage: $0 [cpp|python|all]" >&2; exit 2 ;;
esac
