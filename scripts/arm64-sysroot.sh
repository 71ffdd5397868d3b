#!/usr/bin/env bash
# Lays out a folder of Debian's arm64 packages in which qemu-aarch64-static
# runs Python 3.11 with pytest: enough to import and test an aarch64 wheel on
# this x86_64 machine. The packages are unpacked, never installed.
#
#     scripts/arm64-sysroot.sh SYSROOT
#
# Kept between runs: a stamp holding the package list says whether SYSROOT is
# already what this script would make. Needs arm64 in dpkg's architectures
# (install-deps.sh adds it).
set -euo pipefail
sysroot=${1:?usage: arm64-sysroot.sh SYSROOT}

# qemu looks in the sysroot first for every path: an empty USB bus there
# (sysfs and usbfs folders, no device) is what an aarch64 machine with
# nothing plugged in shows libusb, where this machine may show none at all.
usb_bus_without_devices() {
    mkdir -p "$sysroot/sys/bus/usb/devices" "$sysroot/dev/bus/usb"
}

# The interpreter and the libraries it loads for pytest, then pytest itself
# (architecture-independent packages).
packages=(libc6:arm64 libgcc-s1:arm64 zlib1g:arm64 libexpat1:arm64 libffi8:arm64
          libbz2-1.0:arm64 liblzma5:arm64 libssl3:arm64 libcrypt1:arm64 libuuid1:arm64
          libpython3.11-minimal:arm64 python3.11-minimal:arm64 libpython3.11-stdlib:arm64
          python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-attr
          python3-py python3-pytest-timeout)
stamp="$sysroot/.packages"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ]; then
    usb_bus_without_devices
    exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "arm64-sysroot.sh: dpkg does not know arm64: run scripts/install-deps.sh as root" >&2
    exit 1
fi
rm -rf "$sysroot"
mkdir -p "$sysroot/debs"
(cd "$sysroot/debs" && apt-get download -qq "${packages[@]}") || {
    echo "arm64-sysroot.sh: apt-get download failed (run 'apt-get update' after 'dpkg --add-architecture arm64')" >&2
    exit 1
}
for deb in "$sysroot"/debs/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
done
rm -rf "$sysroot/debs"
usb_bus_without_devices
echo "${packages[*]}" >"$stamp"
