#!/usr/bin/env bash
# The one test command.
#
#   bash tests/run.sh          the quick loop: the C++ tests, the Python tests,
#                              ruff, mypy --strict and stubtest
#   bash tests/run.sh --full   adds the sanitizer builds (C++ and Python), the
#                              fuzzers, the heavy input-limit tests and the
#                              binary wheel in bare environments (CI)
#
# Runs with ${PYTHON:-python3}, the machine's or a virtual environment's, and
# installs what the tests need into it: the Debian packages listed in
# tests/system-packages.txt and the package itself with its `test` extra
# (pyproject.toml). A test never skips for want of something this installs.
# Every step runs even when one before it failed, so that one run shows every
# failure; exits non-zero if any failed, including a run that found no tests.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
full=0
case "${1:-}" in
  "") ;;
  --full) full=1 ;;
  *) echo "usage: bash tests/run.sh [--full]" >&2; exit 2 ;;
esac
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
# The tools installed into that Python (cmake, ruff, mypy) come first.
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
export PYTHON=$python PATH
started=$SECONDS

failed=()
step() {  # step NAME COMMAND...: runs it, remembers a failure, goes on
  local name=$1 status=0 start=$SECONDS
  shift
  echo "== $name"
  "$@" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "-- $name FAILED (exit $status)" >&2
    failed+=("$name")
  fi
  echo "-- $name: $((SECONDS - start)) s"
}

install_system_packages() {
  local missing=() package
  while read -r package; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
      missing+=("$package")
    fi
  done < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' tests/system-packages.txt)
  if [ "${#missing[@]}" -eq 0 ]; then return 0; fi
  echo "Debian packages the tests need and this machine lacks (tests/system-packages.txt): ${missing[*]}"
  # Never sudo behind the user's back: as root it installs, otherwise it says
  # what to run.
  if [ "$(id -u)" -ne 0 ]; then
    echo "tests/run.sh: the tests need these Debian packages; install them, then run again:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  apt-get update &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
}

install_package() {
  # The package is built without pip's build isolation, in the persistent
  # build/{wheel_tag}: the same compiler, CMake and paths each time, so that a
  # second run rebuilds only what changed. Its build requirements come first
  # for that, and so do the dependencies of its `test` extra, installed with
  # isolation: some come only as source archives with build needs of their own
  # (cryptofeed needs Cython and wheel).
  local requires
  requires=$("$python" - <<'EOF'
import re
import sys
try:
    import tomllib
except ModuleNotFoundError:  # Python 3.10
    import subprocess
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "tomli"], check=True)
    import tomli as tomllib
with open("pyproject.toml", "rb") as file:
    project = tomllib.load(file)
extras = project["project"]["optional-dependencies"]


def expand(extra):
    for requirement in extras[extra]:
        own = re.fullmatch(r"fenmor-radar\[([^\]]*)\]", requirement)
        if own:
            for name in own.group(1).split(","):
                yield from expand(name.strip())
        else:
            yield requirement


print("\n".join([*project["build-system"]["requires"], "cmake>=3.24", "ninja",
                 *project["project"]["dependencies"], *expand("test")]))
EOF
  ) || return
  mapfile -t requires <<<"$requires"
  "$python" -m pip install --quiet --disable-pip-version-check "${requires[@]}" &&
    "$python" -m pip install --quiet --disable-pip-version-check --no-build-isolation ".[test]"
}

cpp_tests() {
  cmake -S . -B build/tests -DFENMOR_BUILD_TESTS=ON -DFENMOR_BUILD_PYTHON=OFF \
    -DFENMOR_WERROR=ON >/dev/null &&
    cmake --build build/tests -j2 &&
    (cd build/tests && ctest --output-on-failure --no-tests=error)
}

python_tests() {
  # The source tree has no top-level fenmor_radar folder, so the tests import
  # the installed package.
  local status=0
  "$python" -m pytest -p no:cacheprovider -rs --durations=5 tests/python "$@" || status=$?
  if [ "$status" -eq 5 ]; then echo "pytest collected no tests" >&2; fi
  return "$status"
}

stubtest() {
  # Every compiled module of the installed package against its stub, found
  # by file name, so that a new native module is covered without a change here.
  local modules
  modules=$("$python" - <<'EOF'
import importlib.machinery, pathlib, fenmor_radar
root = pathlib.Path(fenmor_radar.__file__).parent
for path in sorted(root.rglob("*")):
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        if path.name.endswith(suffix):
            parts = path.relative_to(root.parent).with_name(path.name[: -len(suffix)]).parts
            print(".".join(parts))
            break
EOF
  ) || return
  if [ -z "$modules" ]; then echo "no compiled module found in the installed package" >&2; return 1; fi
  echo "$modules"
  # From a folder without the source tree, so that the installed package is
  # the one checked.
  # shellcheck disable=SC2086 # one module per word
  (cd build && "$python" -m mypy.stubtest --concise $modules)
}

step "system packages" install_system_packages
step "pip install .[test]" install_package
step "C++ tests" cpp_tests
step "Python tests" python_tests
step "ruff" "$python" -m ruff check .
step "mypy --strict" "$python" -m mypy
step "stubtest" stubtest

if [ "$full" -eq 1 ]; then
  # The C++ tests and the Python suite under ASan and UBSan, each fuzz harness
  # for a short while, and the input-limit tests too heavy for every run (they
  # need a few hundred megabytes).
  step "sanitizers" bash tests/sanitize.sh
  step "fuzzing" bash fuzz/run.sh 40
  step "heavy input-limit tests" env FENMOR_HEAVY=1 \
    "$python" -m pytest -p no:cacheprovider -q tests/python/test_reliability_limits.py
  step "binary wheel without a compiler" bash tests/wheel.sh
fi

elapsed=$((SECONDS - started))
if [ "${#failed[@]}" -ne 0 ]; then
  echo "FAILED after $((elapsed / 60)) min $((elapsed % 60)) s: ${failed[*]}" >&2
  exit 1
fi
echo "all passed in $((elapsed / 60)) min $((elapsed % 60)) s ($([ "$full" -eq 1 ] && echo full || echo quick) run)"
