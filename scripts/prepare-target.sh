#!/usr/bin/env bash
# Prepares the cross build of one target: its C and C++ compilers as plain
# commands in DIR/bin, and libusb built from its pinned source with them into
# DIR/libusb.
#
#     scripts/prepare-target.sh TOOLS_PYTHON ARCH DIR
#
# ARCH is x86_64 or aarch64 for the wheels: Zig's clang for glibc 2.17
# (manylinux2014), so everything built here runs on any Linux of that
# architecture since 2014, with libusb shared. ARCH windows is Debian's
# mingw-w64 for 64-bit Windows, with libusb static. TOOLS_PYTHON has the
# ziglang package. A second run finds libusb built and returns at once; Zig
# keeps its own cache in ORVAPY_CACHE (~/.cache/orvapy), outside the tree:
# the sdist's build walks every file of the tree, and Zig's cache holds
# hundreds of thousands.
set -euo pipefail
tools=${1:?usage: prepare-target.sh TOOLS_PYTHON ARCH DIR}
arch=${2:?usage: prepare-target.sh TOOLS_PYTHON ARCH DIR}
dir=${3:?usage: prepare-target.sh TOOLS_PYTHON ARCH DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# libusb 1.0.26, as Debian 12 has it, from the source distribution on PyPI
# that carries its tree; the hash pins the file.
libusb_package="libusb-package==1.0.26.1"
libusb_sha256=5a586744a59e3870791c28f964568e211f5f44bb398ccb51b25f3565dd4666ad

case "$arch" in
    x86_64 | aarch64) target="$arch-linux-gnu.2.17" host="$arch-linux-gnu" linkage=--disable-static ;;
    windows) target=x86_64-w64-mingw32 host=$target linkage=--disable-shared ;;
    *) echo "prepare-target.sh: no target for $arch (x86_64, aarch64 or windows)" >&2; exit 1 ;;
esac

# CMake and configure want one command per tool, not "zig cc -target ...".
mkdir -p "$dir/bin"
wrap() {
    local name=$1
    shift
    local script="$dir/bin/$name" text
    text=$(printf '#!/bin/sh\n%sexec %s "$@"\n' "$environment" "$*")
    if [ ! -f "$script" ] || [ "$(cat "$script")" != "$text" ]; then
        echo "$text" >"$script"
        chmod +x "$script"
    fi
}

if [ "$arch" = windows ]; then
    # The posix thread model: the other one has no std::thread.
    environment=""
    command -v "$target-g++-posix" >/dev/null || {
        echo "prepare-target.sh: no $target-g++-posix (scripts/install-deps.sh installs mingw-w64)" >&2
        exit 1
    }
    wrap cc "$target-gcc-posix"
    wrap c++ "$target-g++-posix"
    wrap ar "$target-ar"
    wrap ranlib "$target-ranlib"
else
    zig=$("$tools" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))' 2>/dev/null) || {
        echo "prepare-target.sh: $tools has no ziglang (make deps installs it)" >&2
        exit 1
    }
    cache="${ORVAPY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvapy}/zig"
    environment="ZIG_GLOBAL_CACHE_DIR=\"$cache\" ZIG_LOCAL_CACHE_DIR=\"$cache\" "
    wrap cc "\"$zig\"" cc -target "$target"
    wrap c++ "\"$zig\"" c++ -target "$target"
    wrap ar "\"$zig\"" ar
    wrap ranlib "\"$zig\"" ranlib
fi

prefix="$dir/libusb"
stamp="$prefix/.built"
identity="$libusb_package $libusb_sha256 usbfs-fallback $target $(tail -n 1 "$dir/bin/cc" | sed 's/.*exec //')"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$identity" ]; then
    exit 0
fi

# The source distribution, downloaded once and checked against its hash.
downloads="$root/build/cache/downloads"
mkdir -p "$downloads"
sdist="$downloads/libusb-package-1.0.26.1.tar.gz"
if [ ! -f "$sdist" ] || ! echo "$libusb_sha256  $sdist" | sha256sum -c --quiet - 2>/dev/null; then
    rm -f "$sdist"
    output=$("$tools" -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
        -d "$downloads" "$libusb_package" 2>&1) || {
        echo "$output" >&2
        echo "prepare-target.sh: could not download $libusb_package from PyPI" >&2
        exit 1
    }
    echo "$libusb_sha256  $sdist" | sha256sum -c --quiet - || {
        echo "prepare-target.sh: $sdist does not have the pinned hash" >&2
        exit 1
    }
fi

work="$dir/libusb-build"
rm -rf "$work" "$prefix"
mkdir -p "$work"
tar -xzf "$sdist" -C "$work"
source="$work/libusb-package-1.0.26.1/src/libusb"
# The distribution carries a tree configured and built on another machine:
# only the sources and the generated configure script are wanted.
(cd "$source" && rm -rf Makefile config.h config.status config.log libtool stamp-h1 libusb-1.0.pc \
    autom4te.cache ./*/Makefile && find . \( -name '*.o' -o -name '*.lo' -o -name '*.la' \
    -o -name .libs -o -name .deps \) -prune -exec rm -rf {} +)

# Built without udev, libusb would refuse to start on a machine with no USB
# device at all yet (no /dev/bus/usb: a container, qemu), where its udev
# build, the distributions', starts and finds nothing. It takes the same
# fallback here: devices that come later are found through netlink.
fallback='#if defined(HAVE_LIBUDEV) || defined(__ANDROID__)'
grep -qxF "$fallback" "$source/libusb/os/linux_usbfs.c" || {
    echo "prepare-target.sh: libusb's usbfs fallback is not where expected" >&2
    exit 1
}
sed -i "s/^$fallback\$/#if 1/" "$source/libusb/os/linux_usbfs.c"

log="$work/build.log"
echo "building libusb for $target"
(
    mkdir -p "$work/out" && cd "$work/out"
    # Without udev: device discovery and hotplug through sysfs and netlink,
    # so the library needs nothing beyond the C library.
    "$source/configure" --host="$host" --prefix="$prefix" --disable-udev "$linkage" \
        --disable-examples-build --disable-tests-build \
        CC="$dir/bin/cc" AR="$dir/bin/ar" RANLIB="$dir/bin/ranlib" CFLAGS="-O2 -g0"
    make -j "${JOBS:-2}"
    make install
) >"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    echo "prepare-target.sh: building libusb for $target failed; the whole log is $log" >&2
    exit 1
}
echo "$identity" >"$stamp"
