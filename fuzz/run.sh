#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each one for SECONDS (default 60).
#
#   bash fuzz/run.sh [SECONDS]
#
# Each harness starts from its seed corpus in fuzz/corpus/<name> and keeps what
# it finds in build/fuzz/corpus/<name>, so later runs go on from there. Exits
# non-zero when a harness stops on a crash, a sanitizer report, a leak or a
# broken invariant; the input that did it is left in build/fuzz/artifacts/.
set -euo pipefail

seconds=${1:-60}
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build=build/fuzz

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# clang 16 rather than Debian's default 14: only 16 compiles libstdc++'s
# <expected>. It still reports concepts as incomplete (__cpp_concepts
# 201907), which hides std::expected from it, so the full level is declared
# below; clang 16 implements all that <expected> relies on.
if ! command -v clang++-16 >/dev/null || ! dpkg -s libclang-rt-16-dev >/dev/null 2>&1; then
  echo "== installing clang 16 and its sanitizer runtimes"
  as_root apt-get update
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y clang-16 libclang-rt-16-dev
fi

echo "== building the fuzz harnesses"
cmake -S . -B "$build" \
  -DCMAKE_CXX_COMPILER=clang++-16 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS=-U__cpp_concepts -D__cpp_concepts=202002L" \
  -DFENMOR_SANITIZE=fuzzer-no-link,address,undefined \
  -DFENMOR_BUILD_FUZZERS=ON -DFENMOR_BUILD_PYTHON=OFF -DFENMOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_document fuzz_spec_text fuzz_command fuzz_line_feeder

mkdir -p "$build/artifacts" "$build/logs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for name in document spec_text command line_feeder; do
  corpus="$build/corpus/$name"
  log="$build/logs/$name.log"
  mkdir -p "$corpus"
  echo "== fuzz_$name for ${seconds}s"
  status=0
  "$build/fuzz/fuzz_$name" \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 -max_len=8192 \
    -use_value_profile=1 -dict=fuzz/json.dict -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" \
    "$corpus" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done )|#[0-9]+.*DONE' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$name FAILED (exit $status); the end of its log:" >&2
    tail -n 60 "$log" >&2
    failed+=("$name")
  fi
done

if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: all harnesses ran ${seconds}s without a finding"
