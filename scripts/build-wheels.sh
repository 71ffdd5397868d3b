#!/usr/bin/env bash
# Builds orvapy's source distribution and, from it, one manylinux2014 wheel
# for each given interpreter and architecture, repaired by auditwheel so that
# libusb travels inside it; with --orva, orva's wheel as well.
#
#     scripts/build-wheels.sh [--orva] TOOLS_PYTHON OUT_DIR ARCHS PYTHON...
#
# TOOLS_PYTHON has what `make deps` installs (build, auditwheel, ziglang,
# scikit-build-core, pybind11): it makes the sdist, repairs the wheels and
# builds its own wheel. ARCHS is a list, "x86_64 aarch64" or one of them:
# every wheel is cross-built by Zig for glibc 2.17 (scripts/prepare-target.sh),
# this machine's architecture too. A wheel for another architecture is built
# with the headers of the same series on this machine: the module's ABI is
# the series' and the architecture's, not the build machine's.
# OUT_DIR receives the sdist and the wheels.
set -euo pipefail
orva=false
if [ "${1:-}" = --orva ]; then
    orva=true
    shift
fi
tools=$1
out=$2
archs=$3
shift 3
root=$(cd "$(dirname "$0")/.." && pwd)
version=$(head -n 1 "$root/VERSION")
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Runs a command, showing its output only when it fails.
quietly() {
    local log
    log=$("$@" 2>&1) || { echo "$log" >&2; return 1; }
}

# The sdist is made from a copy of the files git would take: the build
# backend walks every folder of the tree it is given, build/ included, and
# the wheels' targets and sysroot there make that walk take minutes.
stage="$root/build/sdist-stage"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    rm -rf "$stage"
    mkdir -p "$stage"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
        rsync -lpt --from0 --files-from=- "$root/" "$stage/"
    sdist_from=$stage
else
    sdist_from=$root
fi
rm -f "$out/orvapy-$version.tar.gz"
quietly "$tools" -m build --sdist --no-isolation --outdir "$out" "$sdist_from"
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
mkdir -p "$raw"
for arch in $archs; do
    target="$root/build/target-$arch"
    "$root/scripts/prepare-target.sh" "$tools" "$arch" "$target"
    for python in "$@"; do
        [ -n "$python" ] || { echo "build-wheels.sh: an interpreter is missing" >&2; exit 1; }
        series=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
        tag="cp$series"
        rm -f "$raw/orvapy-$version-$tag-$tag-"*"_$arch.whl" "$out/orvapy-$version-$tag-$tag-"*"_$arch.whl"
        builder=$(builder_for "$python" "$tag")
        echo "building the orvapy wheel for $tag on $arch"
        log="$raw/$tag-$arch.log"
        # A build folder configured with another toolchain file is started
        # anew: CMake keeps the flags it first had in its cache.
        build="$source/build/zig-$tag-$tag-linux_$arch"
        if ! cmp -s "$root/cmake/zig-toolchain.cmake" "$build/toolchain.cmake"; then
            rm -rf "$build"
            mkdir -p "$build"
            cp "$root/cmake/zig-toolchain.cmake" "$build/toolchain.cmake"
        fi
        # The platform tag and the module's file name are the target's.
        settings=(cmake.define.CMAKE_TOOLCHAIN_FILE="$root/cmake/zig-toolchain.cmake"
                  cmake.define.ORVAPY_TARGET_DIR="$target" cmake.define.ORVAPY_TARGET_ARCH="$arch"
                  cmake.define.PYTHON_MODULE_EXTENSION=".cpython-$series-$arch-linux-gnu.so"
                  build-dir="build/zig-{wheel_tag}")
        _PYTHON_HOST_PLATFORM="linux-$arch" CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} \
            "$builder" -m pip wheel -v --disable-pip-version-check --no-deps --no-build-isolation \
            -w "$raw" "${settings[@]/#/--config-settings=}" "$source" >"$log" 2>&1 || {
            tail -n 40 "$log" >&2
            echo "build-wheels.sh: the $tag wheel for $arch did not build; the whole log is $log" >&2
            exit 1
        }
        # The bundled libusb is the target's: auditwheel looks for it first
        # where the library path says. auditwheel grants the oldest policy
        # the wheel fits (its --plat knows this machine's architecture only);
        # anything but manylinux_2_17 stops the build, and auditwheel show
        # names the symbol that keeps the wheel from it.
        wheel="$raw/orvapy-$version-$tag-$tag-linux_$arch.whl"
        repaired=$(mktemp -d)
        LD_LIBRARY_PATH="$target/libusb/lib" quietly "$tools" -m auditwheel repair -w "$repaired" "$wheel" &&
            [ -f "$repaired/orvapy-$version-$tag-$tag-manylinux2014_$arch.manylinux_2_17_$arch.whl" ] || {
            ls "$repaired" >&2
            rm -rf "$repaired"
            echo "build-wheels.sh: $(basename "$wheel") is not manylinux_2_17 (auditwheel show says why):" >&2
            LD_LIBRARY_PATH="$target/libusb/lib" "$tools" -m auditwheel show "$wheel" >&2 || true
            exit 1
        }
        mv "$repaired"/*.whl "$out/"
        rmdir "$repaired"
    done
done

# orva, the tool and its package: one wheel, built by the same command.
if $orva; then
    echo "building the orva wheel"
    rm -f "$out/orva-$version-"*.whl
    quietly "$tools" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
        -w "$out" "$root/tools/orva"
fi
