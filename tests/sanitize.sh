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
  cmake --build build/sanitize-python -j2 --target _fenmor_radar || return
  # The package as installed, with the instrumented module in it, found
  # ahead of any installed copy.
  local site=build/sanitize-python/site
  rm -rf "$site"
  mkdir -p "$site"
  cp -r python/fenmor_radar "$site/"
  find "$site" -name '_fenmor_radar*.so' -delete
  cp build/sanitize-python/bindings/_fenmor_radar*.so "$site/fenmor_radar/" || return

  # The interpreter is not instrumented, so the runtime must be loaded before
  # it starts. PYTHONMALLOC=malloc puts Python objects under ASan's eye too,
  # so that a reference-count fault shows up as a use after free.
  #
  # Reports are judged from the logs, not by exit codes (abort_on_error=0,
  # exitcode=0): under load, LeakSanitizer's own thread-stopping tracer can
  # crash at a process's exit ("LeakSanitizer has encountered a fatal
  # error"), which would otherwise abort a test's child process for no fault
  # of the radar. Such a skipped leak check is counted, memory errors fail.
  #
  # Leaks are judged after the run rather than by the exit code: CPython and
  # other extension modules (orjson, Dask) leave objects behind at exit that
  # are none of the radar's business. Every process, test children included,
  # writes its report to $logs; a leak whose allocation passes through the
  # radar's code fails the run, the others are counted. The suppressions
  # name the one leak that is by design (see the file).
  local logs=build/sanitize-python/reports
  rm -rf "$logs"
  mkdir -p "$logs"
  local runtime
  runtime=$(g++ -print-file-name=libasan.so) || return
  local status=0
  env PYTHONPATH="$here/$site" LD_PRELOAD="$runtime" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$ASAN_OPTIONS:abort_on_error=0:exitcode=0:log_path=$here/$logs/asan" \
    LSAN_OPTIONS="suppressions=$here/tests/sanitize_python.supp:print_suppressions=0:exitcode=0" \
    FENMOR_SANITIZED=1 PYTHONFAULTHANDLER=1 \
    "$python" -m pytest -p no:cacheprovider -q "$@" || status=$?
  "$python" - "$logs" "$here" <<'TRIAGE' || status=$?
import pathlib, re, sys

logs, here = pathlib.Path(sys.argv[1]), sys.argv[2]
ours = re.compile(r"_fenmor_radar|" + re.escape(here) + r"/(json|crates|bindings)/")
flagged, others, errors, unchecked = [], 0, [], 0
for log in sorted(logs.glob("asan.*")):
    text = log.read_text(errors="replace")
    unchecked += text.count("LeakSanitizer has encountered a fatal error")
    for block in re.split(r"\n\s*\n", text):
        if re.search(r"^(Direct|Indirect) leak of", block, re.M):
            if ours.search(block):
                flagged.append(f"{log.name}:\n{block}")
            else:
                others += 1
        elif "ERROR: AddressSanitizer" in block or "runtime error:" in block:
            errors.append(f"{log.name}:\n{block}")
for report in errors + flagged:
    print(report, "\n", file=sys.stderr)
print(f"sanitizer reports: {len(errors)} errors, {len(flagged)} leaks through the radar's code, "
      f"{others} leaks elsewhere (the interpreter, other modules) ignored, "
      f"{unchecked} leak checks cut short by the leak checker's own fault")
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
