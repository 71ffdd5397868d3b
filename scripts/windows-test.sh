#!/usr/bin/env bash
# Cross-builds the C++ core's device-free tests for 64-bit Windows with
# mingw-w64 (tests/windows) and runs the program under wine.
#
#     scripts/windows-test.sh TOOLS_PYTHON
#
# The build stays in build/windows and wine's folder in build/cache/wine, so
# that a second run rebuilds only what changed.
set -euo pipefail
tools=${1:?usage: windows-test.sh TOOLS_PYTHON}
root=$(cd "$(dirname "$0")/.." && pwd)
target="$root/build/target-windows"
build="$root/build/windows"

"$root/scripts/prepare-target.sh" "$tools" windows "$target"
cmake -S "$root/tests/windows" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-toolchain.cmake" -DORVAPY_TARGET_DIR="$target" \
    -Wno-dev -Wno-deprecated >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target core_tests

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "windows-test.sh: no wine (scripts/install-deps.sh installs wine64)" >&2; exit 1; }
mkdir -p "$root/build/cache/wine"
# A first run lays out wine's folder and says so on standard error.
WINEPREFIX="$root/build/cache/wine" WINEDEBUG=-all \
    "$wine" "$build/core_tests.exe" --gtest_brief=1
