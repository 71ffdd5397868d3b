#!/usr/bin/env bash
# Builds orvapy's source distribution and, from it, one wheel for each given
# interpreter, repaired by auditwheel so that libusb travels inside it.
#
#     scripts/build-wheels.sh TOOLS_PYTHON OUT_DIR PYTHON...
#
# TOOLS_PYTHON has what `make deps` installs (build, auditwheel, scikit-build-core,
# pybind11): it makes the sdist, repairs the wheels and builds its own wheel
# without an isolated environment; every other interpreter builds its wheel in
# pip's isolated build environment. OUT_DIR receives the sdist and the wheels.
set -euo pipefail
tools=$1
out=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(head -n 1 "$root/VERSION")
mkdir -p "$out"
out=$(cd "$out" && pwd)

rm -f "$out/orvapy-$version.tar.gz"
quietly() {
    local log
    log=$("$@" 2>&1) || { echo "$log" >&2; return 1; }
}

quietly "$tools" -m build --sdist --no-isolation --outdir "$out" "$root"
sdist="$out/orvapy-$version.tar.gz"

# The wheels are built from the unpacked sdist, which so proves that it builds.
# Unpacked always to the same place, and only changed files replaced, so that
# the builds there stay incremental.
source="$root/build/sdist/orvapy-$version"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar -xzf "$sdist" -C "$unpacked"
mkdir -p "$source"
rsync -rc --delete --exclude=/build/ "$unpacked/orvapy-$version/" "$source/"

raw="$root/build/wheel-raw"
for python in "$@"; do
    tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    rm -f "$raw/orvapy-$version-$tag-"*.whl "$out/orvapy-$version-$tag-"*.whl
    isolation=()
    [ "$python" = "$tools" ] && isolation=(--no-build-isolation)
    echo "building the orvapy wheel for $tag"
    CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} "$python" -m pip wheel -q --disable-pip-version-check \
        --no-deps "${isolation[@]}" -w "$raw" "$source"
    quietly "$tools" -m auditwheel repair -w "$out" "$raw/orvapy-$version-$tag-"*.whl
done
