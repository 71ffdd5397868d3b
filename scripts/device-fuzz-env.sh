# Sourced by the fuzz scripts: the environment device_fuzz runs in. It drives
# the emulated bench, which needs the umockdev preload (after the wait
# preload, which spares libusb a busy loop of reaps on the emulated nodes: a
# third of the emulated ioctls), a temporary folder of its own (absolute, as
# umockdev needs), and no leak check (its bench lives to the end).
#
#     device_fuzz_env BUILD_DIR TMP_DIR    sets the array `environment`
device_fuzz_env() {
    mkdir -p "$2"
    environment=(env LD_PRELOAD="$1/emu/liborvaemu-wait.so:libumockdev-preload.so.0"
                 TMPDIR="$2" ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0)
}
