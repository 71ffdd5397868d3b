#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine:
# the system packages with apt-get (as root) and the Python ones with pip.
set -eu
python=${1:?usage: install-deps.sh PYTHON}

apt_packages=(cmake g++ make pkg-config libusb-1.0-0-dev libgtest-dev patchelf rsync
              umockdev libumockdev-dev libumockdev0 usbutils)
# libFuzzer and its sanitizer runtimes (make fuzz).
apt_packages+=(clang libclang-rt-14-dev)
# ip netns for the test of remote links across network namespaces.
apt_packages+=(iproute2)
# openssl makes the certificates of the test of remote links over TLS.
apt_packages+=(openssl)
# tshark reads the link captures in the tests, with the Lua dissector.
apt_packages+=(tshark)
missing=()
for package in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages and not root: run 'apt-get install ${missing[*]}'" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # tshark's package would ask whether to make its capture helper setuid.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

pip_requirements=("pybind11>=2.13,<3" "scikit-build-core>=1.0,<2" "pytest" "pytest-timeout" "build" "auditwheel")
pip_requirements+=("hypothesis")
# Zenoh, for orva serve and remote links (orva[remote]).
pip_requirements+=("eclipse-zenoh>=1.10,<2")
if ! "$python" - <<'PY' 2>/dev/null
import importlib.metadata as md
major, minor = (int(part) for part in md.version("pybind11").split(".")[:2])
assert major == 2 and minor >= 13
assert int(md.version("scikit-build-core").split(".")[0]) >= 1  # tools/orva needs 1.0
md.version("pytest")
md.version("pytest-timeout")
md.version("build")
md.version("auditwheel")
md.version("hypothesis")
major, minor = (int(part) for part in md.version("eclipse-zenoh").split(".")[:2])
assert major == 1 and minor >= 10
PY
then
    "$python" -m pip install -q --disable-pip-version-check "${pip_requirements[@]}"
fi

# mypy for make typecheck.
if ! "$python" -c 'import mypy' 2>/dev/null; then
    "$python" -m pip install -q --disable-pip-version-check "mypy>=1.5"
fi
