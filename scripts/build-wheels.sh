#!/usr/bin/env bash
# Builds orvapy's source distribution and, from it, one wheel for each given
# interpreter, repaired by auditwheel so that libusb travels inside it.
#
#     scripts/build-wheels.sh TOOLS_PYTHON OUT_DIR PYTHON...
#
# TOOLS_PYTHON has what `make deps` installs (build, auditwheel, scikit-build-core,
# pybind11): it makes the sdist, repairs the wheels and builds its own wheel.
# OUT_DIR receives the sdist and the wheels.
set -euo pipefail
tools=$1
out=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(head -n 1 "$root/VERSION")
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Runs a command, showing its output only when it fails.
quietly() {
    local log
    log=$("$@" 2>&1) || { echo "$log" >&2; return 1; }
}

rm -f "$out/orvapy-$version.tar.gz"
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

# Every other interpreter builds in a virtual environment of its own with the
# sdist's build requirements, kept between runs (pip's isolated environments
# move, and would make every build a full one).
builder_for() {
    local python=$1 tag=$2
    if [ "$python" = "$tools" ]; then
        echo "$python"
        return
    fi
    local env="$root/build/build-env-$tag"
    if [ ! -f "$env/requirements.txt" ] || ! cmp -s "$env/requirements.txt" "$requirements"; then
        rm -rf "$env"
        quietly "$python" -m venv "$env"
        quietly "$env/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
        cp "$requirements" "$env/requirements.txt"
    fi
    echo "$env/bin/python"
}

requirements="$unpacked/requirements.txt"
"$tools" -c 'import build, sys; print("\n".join(sorted(build.ProjectBuilder(sys.argv[1]).build_system_requires)))' \
    "$source" >"$requirements"

# scikit-build-core gives up on a cmake that answers slowly, as a shim on a
# loaded machine does: name the binary itself.
CMAKE_EXECUTABLE=${CMAKE_EXECUTABLE:-$(cmake -P "$root/scripts/cmake-command.cmake" 2>&1)}
export CMAKE_EXECUTABLE

raw="$root/build/wheel-raw"
for python in "$@"; do
    [ -n "$python" ] || { echo "build-wheels.sh: an interpreter is missing" >&2; exit 1; }
    tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    rm -f "$raw/orvapy-$version-$tag-"*.whl "$out/orvapy-$version-$tag-"*.whl
    builder=$(builder_for "$python" "$tag")
    echo "building the orvapy wheel for $tag"
    CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} "$builder" -m pip wheel -q --disable-pip-version-check \
        --no-deps --no-build-isolation -w "$raw" "$source"
    quietly "$tools" -m auditwheel repair -w "$out" "$raw/orvapy-$version-$tag-"*.whl
done
