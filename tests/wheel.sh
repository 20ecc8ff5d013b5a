#!/usr/bin/env bash
# The binary wheel where no compiler is: builds it (tools/build-wheel.sh),
# installs it into a fresh virtual environment of each CPython below whose PATH
# holds nothing but that environment, with binaries only, and runs the demo, a
# replay of the sample with its HTML report, and the README's Python example.
# Then builds the source archive and installs it, compiling, into a fresh
# environment, where the demo runs.
#
#   bash tests/wheel.sh [PYTHON...]   default: the pyenv 3.10 and 3.13 found
#
# Runs with ${PYTHON:-python3} for the builds. Needs the package registry for
# the wheel's own dependencies (isal, plotly, orjson) and the archive's build tools.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

interpreters=("$@")
if [ "${#interpreters[@]}" -eq 0 ]; then
  for version in 3.10 3.13; do
    found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python3 2>/dev/null | tail -n 1 || true)
    if [ -z "$found" ]; then found=$(command -v "python$version" || true); fi
    if [ -n "$found" ]; then interpreters+=("$found"); fi
  done
fi
if [ "${#interpreters[@]}" -lt 2 ]; then
  echo "tests/wheel.sh: found ${#interpreters[@]} of the two CPythons it tests on (3.10 and 3.13);" \
    "install them (e.g. pyenv install 3.10 3.13) or name them: bash tests/wheel.sh PYTHON PYTHON" >&2
  exit 1
fi

bash tools/build-wheel.sh "$work/dist" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
wheel=$(ls "$work"/dist/fenmor_radar-*-cp310-abi3-*manylinux_*_x86_64.whl)
echo "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"

# The README's Python example, with the output its comment shows.
"${PYTHON:-python3}" - "$root/README.md" "$work/example.py" "$work/example.expected" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
section = text.split("## Use it from Python", 1)[1]
code = re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)
open(sys.argv[2], "w", encoding="utf-8").write(code)
shown = [line[2:] for line in code.splitlines() if line.startswith("# ")]
open(sys.argv[3], "w", encoding="utf-8").write("\n".join(shown) + "\n")
PY

for interpreter in "${interpreters[@]}"; do
  version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  echo "== CPython $version ($interpreter)"
  venv="$work/venv-$version"
  "$interpreter" -m venv "$venv"
  # Only the environment's own scripts: no compiler, CMake, make or ninja.
  # The registry settings and proxies stay, so that pip reaches the index.
  mapfile -t passed < <(env | grep -E '^(PIP_[A-Z_]*|https?_proxy|HTTPS?_PROXY|no_proxy|NO_PROXY|SSL_CERT_[A-Z]*|REQUESTS_CA_BUNDLE)=' || true)
  bare=(env -i HOME="$work" PATH="$venv/bin" LANG=C.UTF-8 COLUMNS=100 "${passed[@]}")
  for tool in cc gcc g++ c++ clang cmake make ninja ld; do
    if "${bare[@]}" sh -c "command -v $tool" >/dev/null 2>&1; then
      echo "tests/wheel.sh: $tool is on the bare PATH" >&2; exit 1
    fi
  done
  # Binaries only: an install that needed to build anything fails here.
  "${bare[@]}" python -m pip install --quiet --disable-pip-version-check --only-binary :all: \
    "isal>=1.6" "plotly>=5.0" "orjson>=3.9.15"
  "${bare[@]}" python -m pip install --quiet --disable-pip-version-check --only-binary :all: \
    --no-index --find-links "$work/dist" "fenmor-radar[report]"
  (
    cd "$work"
    "${bare[@]}" python -m fenmor_radar >demo.out
    grep -q "alert" demo.out
    "${bare[@]}" fenmor-radar sample -o events.jsonl.gz --spec-out spec.json
    "${bare[@]}" fenmor-radar replay --spec spec.json events.jsonl.gz --report report.html >replay.out
    grep -q "plotly" report.html
    "${bare[@]}" python example.py >example.out
    diff -u example.expected example.out
  )
  echo "-- CPython $version: demo, replay --report and the README example ran from the wheel"
done

# The source archive: holds what the build needs and nothing a build left
# behind, and builds in a fresh environment (with the machine's compiler).
echo "== the source archive"
"${PYTHON:-python3}" -m build --sdist --outdir "$work/sdist" >"$work/sdist.log" 2>&1 ||
  { cat "$work/sdist.log" >&2; exit 1; }
sdist=$(ls "$work"/sdist/fenmor_radar-*.tar.gz)
listing=$(tar -tzf "$sdist")
for needed in CMakeLists.txt pyproject.toml crates/radar-core bindings json python/fenmor_radar/cli; do
  grep -q "^fenmor_radar-[^/]*/$needed" <<<"$listing" || { echo "the source archive lacks $needed" >&2; exit 1; }
done
if grep -E '^fenmor_radar-[^/]*/(build|dist|fuzz/corpus)/' <<<"$listing" | head -n 3 | grep -q .; then
  echo "the source archive holds build output or the fuzzers' corpus" >&2; exit 1
fi
"${PYTHON:-python3}" -m venv "$work/venv-sdist"
"$work/venv-sdist/bin/python" -m pip install --quiet --disable-pip-version-check "$sdist" \
  >"$work/sdist-install.log" 2>&1 || { cat "$work/sdist-install.log" >&2; exit 1; }
(cd "$work" && "$work/venv-sdist/bin/python" -m fenmor_radar >sdist-demo.out && grep -q "alert" sdist-demo.out)
echo "-- the source archive ($(du -k "$sdist" | cut -f1) KiB) built in a fresh environment and ran the demo"
