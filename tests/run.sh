#!/usr/bin/env bash
# The one test command: installs what the tests need, installs the package,
# builds and runs the C++ tests under CTest, then the Python tests under pytest.
# With --full (what CI runs) also the reliability checks: sanitizer builds,
# fuzzers and the heavy input-limit tests, about a quarter of an hour more.
# Exits non-zero on any failure, including a run that found no tests.
set -euo pipefail

full=0
for argument in "$@"; do
  case "$argument" in
    --full) full=1 ;;
    *) echo "usage: bash tests/run.sh [--full]" >&2; exit 2 ;;
  esac
done

cd "$(dirname "${BASH_SOURCE[0]}")/.."
python=${PYTHON:-python3}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

echo "== test tools"
if ! "$python" -c "import pytest" 2>/dev/null; then
  "$python" -m pip install --quiet "pytest>=7"
fi
# The distributed replay's tests run on a local Dask cluster (they skip without it).
if ! "$python" -c "import distributed, fsspec" 2>/dev/null; then
  "$python" -m pip install --quiet "dask[distributed]>=2024.1.0" "fsspec>=2023.1.0"
fi
# Property tests (the distributed replay's checkpoint plan).
if ! "$python" -c "import hypothesis" 2>/dev/null; then
  "$python" -m pip install --quiet "hypothesis>=6"
fi
# The HTML report's tests need plotly; its browser test needs Chromium.
if ! "$python" -c "import plotly" 2>/dev/null; then
  "$python" -m pip install --quiet "plotly>=5.0"
fi
if [ ! -d /usr/include/gtest ] || ! command -v chromium >/dev/null; then
  as_root apt-get update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y libgtest-dev chromium
fi

echo "== pip install ."
"$python" -m pip install --quiet .

# Both suites run even when the first fails, so that one run shows every
# failure; the command fails if either did.
echo "== C++ tests"
cpp_status=0
{
  cmake -S . -B build/tests -DFENMOR_BUILD_TESTS=ON -DFENMOR_BUILD_PYTHON=OFF -DFENMOR_WERROR=ON &&
    cmake --build build/tests -j2 &&
    (cd build/tests && ctest --output-on-failure --no-tests=error)
} || cpp_status=$?

# Reliability: the C++ tests and the Python suite under ASan and UBSan, each
# fuzz harness for a short while, and the input-limit tests too heavy for
# every run (they need a few hundred megabytes). About a quarter of an hour.
reliability_status=0
if [ "$full" -eq 1 ]; then
  echo "== Reliability checks"
  bash tests/sanitize.sh || reliability_status=$?
  bash fuzz/run.sh 40 || reliability_status=$?
  FENMOR_HEAVY=1 "$python" -m pytest -p no:cacheprovider -q \
    tests/python/test_reliability_limits.py || reliability_status=$?
fi

echo "== Python tests"
# The source tree has no top-level fenmor_radar folder, so the tests import
# the installed package.
python_status=0
"$python" -m pytest -p no:cacheprovider tests/python || python_status=$?
if [ "$python_status" -eq 5 ]; then
  echo "pytest collected no tests" >&2
fi

if [ "$cpp_status" -ne 0 ] || [ "$python_status" -ne 0 ] || [ "$reliability_status" -ne 0 ]; then
  echo "FAILED: C++ tests exit $cpp_status, Python tests exit $python_status," \
    "reliability checks exit $reliability_status" >&2
  exit 1
fi
# pytest's summary stays the last line of a passing run.
