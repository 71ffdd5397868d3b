# Build, test and demo entry points; `make test` works on a fresh machine.
#
#   make demo          the example program against an emulated bench
#   make test          everything CI runs (.ci/run)
#   make dev           inner loop: the module of the debug build, the Python suites against it
#   make cpp-test      the C++ suites of the debug build
#
# Every build lives in a folder of its own under build/: debug (C++ tests and
# the module the Python suites use), asan, tsan, thread-safety, release
# (benchmarks), fuzz, and the wheels' (scripts/build-wheels.sh).

PYTHON := $(shell scripts/find-python.sh)
JOBS ?= 2
MAKEFLAGS += --no-print-directory
VERSION := $(shell head -n 1 VERSION)
WHEELHOUSE := build/wheelhouse
# The architecture of this machine, whose wheels make installs and tests.
ARCH := $(shell uname -m)
WHEEL_SERIES := 3.10 3.11 3.12 3.13
wheel-tag = $(shell "$(1)" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
PIP := "$(PYTHON)" -m pip install -q --disable-pip-version-check

.PHONY: all deps build dev dev-install python-install tool-install orvaemu-install \
	test cpp-test cpp-test-asan cpp-test-tsan thread-safety python-test python-test-asan package-test \
	fuzz fuzz-test fuzz-device-long soak soak-test bench bench-remote bench-programs bench-scan bench-workers bench-swarm \
	doc-test wheel wheels windows-test demo typecheck format clean

all: build

deps:
	@scripts/install-deps.sh "$(PYTHON)"

# ---------------------------------------------------------------------------
# How things run

# configure,FOLDER,FLAGS: configures build/FOLDER with the flags.
configure = cmake -S . -B build/$(1) $(2) >/dev/null
CTEST = ctest --output-on-failure --timeout 300 -j $(JOBS) --test-dir

TEST_FLAGS = -DORVAPY_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
# Builds that also hold the Python module, for $(PYTHON).
MODULE_FLAGS = -DORVAPY_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(PYTHON)" \
	-Dpybind11_DIR="$$("$(PYTHON)" -m pybind11 --cmakedir)"
RELEASE_FLAGS = -DORVAPY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release

# A command prefix for programs that drive emulated devices: they start under
# the umockdev preload (after whatever must come first, PRELOAD_FIRST: a
# sanitizer runtime, then WAIT_PRELOAD: the library that makes waits on the
# emulated nodes behave as on usbfs, installed with orvaemu, see
# docs/bench.md; ORVAEMU_WAIT=0 leaves it out), with a temporary folder of
# their own, made fresh, that a killed run cannot litter for the next one.
SCRATCH = $(CURDIR)/build/tmp/$@
PRELOAD_FIRST =
WAIT_PRELOAD = $$("$(PYTHON)" -m orvaemu.preloads --wait)
ON_BENCH = rm -rf "$(SCRATCH)" && mkdir -p "$(SCRATCH)" && TMPDIR="$(SCRATCH)" \
	LD_PRELOAD="$(PRELOAD_FIRST)$(WAIT_PRELOAD)libumockdev-preload.so.0$${LD_PRELOAD:+:$$LD_PRELOAD}"

# The orvapy module the Python suites import: the one of the debug build, put
# ahead of anything installed.
MODULE_DIR = $(CURDIR)/build/debug/python
WITH_MODULE = PYTHONPATH="$(MODULE_DIR)$${PYTHONPATH:+:$$PYTHONPATH}"

# ---------------------------------------------------------------------------
# C++

build: deps
	$(call configure,debug,$(TEST_FLAGS) $(MODULE_FLAGS))
	cmake --build build/debug -j $(JOBS)

cpp-test: build
	$(CTEST) build/debug

cpp-test-asan: deps
	$(call configure,asan,$(TEST_FLAGS) $(MODULE_FLAGS) -DORVAPY_SANITIZE=address,undefined)
	cmake --build build/asan -j $(JOBS)
	$(CTEST) build/asan

# The suites labelled tsan (the workers, the registry, the scanner, the queues
# and the capture) under ThreadSanitizer.
cpp-test-tsan: deps
	$(call configure,tsan,$(TEST_FLAGS) -DORVAPY_SANITIZE=thread)
	cmake --build build/tsan -j $(JOBS) --target link_tests device_tests
	$(CTEST) build/tsan -L tsan

# The library under clang's thread-safety analysis: an access to a field
# without the lock that guards it fails the build.
thread-safety: deps
	CC=clang CXX=clang++ $(call configure,thread-safety,-DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_FLAGS="-Wthread-safety -Werror")
	cmake --build build/thread-safety -j $(JOBS) --target orvalis

# ---------------------------------------------------------------------------
# Python

# The emulated bench (orvaemu, from emu/) and the orva command-line tool
# (tools/orva), installed into $(PYTHON) from build folders that stay, so
# that a second install rebuilds only what changed.
orvaemu-install: deps
	CMAKE_EXECUTABLE="$$(cmake -P scripts/cmake-command.cmake 2>&1)" \
		$(PIP) --no-build-isolation ./emu

tool-install: deps
	$(PIP) --no-build-isolation --no-deps tools/orva

# The inner loop: the module built once in the debug build, no wheel.
dev-install: orvaemu-install tool-install
	$(call configure,debug,$(TEST_FLAGS) $(MODULE_FLAGS))
	cmake --build build/debug -j $(JOBS) --target orvapy

# Each folder runs with its own conftest; the hover example from its folder.
dev: dev-install
	$(ON_BENCH) $(WITH_MODULE) "$(PYTHON)" -m pytest -q tests/python emu/tests/python
	$(ON_BENCH) $(WITH_MODULE) "$(PYTHON)" -m pytest -q tools/orva/tests
	cd examples/hover_control && $(ON_BENCH) $(WITH_MODULE) \
		"$(PYTHON)" -m pytest -q -p no:cacheprovider

python-test: dev typecheck

# mypy --strict over the examples, the orva tool, orvaemu and the Python
# tests, one folder at a time (each has its own conftest), with the stubs of
# the tree; stubtest keeps them true to the module that was built.
STUBS = $(CURDIR)/build/stubs
typecheck: dev-install
	rm -rf build/stubs && mkdir -p build/stubs/orvapy
	cp python/orvapy-stubs/__init__.pyi build/stubs/orvapy/
	MYPYPATH=$(STUBS) "$(PYTHON)" -m mypy --config-file mypy.ini \
		examples/*.py tools/orva/orva emu/python/orvaemu
	for folder in examples/hover_control tests/python emu/tests/python tools/orva/tests; do \
		MYPYPATH=$$folder:$(STUBS) "$(PYTHON)" -m mypy --config-file mypy.ini $$folder || exit 1; done
	$(WITH_MODULE) MYPYPATH=$(STUBS) "$(PYTHON)" -m mypy.stubtest orvapy \
		--allowlist python/stubtest-allowlist.txt
	MYPYPATH=emu/python "$(PYTHON)" -m mypy.stubtest orvaemu._orvaemu \
		--allowlist emu/python/orvaemu/stubtest-allowlist.txt

# Every python and console block of README.md and docs/*.md run, and every
# cpp block compiled, as a reader would, on the emulated bench
# (tests/docs/doc_blocks.py: how a page marks its blocks).
doc-test: dev-install
	MYPYPATH=tests/docs "$(PYTHON)" -m mypy --config-file mypy.ini tests/docs
	$(ON_BENCH) $(WITH_MODULE) "$(PYTHON)" -m pytest -q -p no:cacheprovider tests/docs

# The Python suite once more against the module of the sanitizer build: the
# interpreter is not instrumented, so the sanitizer runtime is preloaded, and
# before umockdev's (docs/reliability.md).
python-test-asan: MODULE_DIR = $(CURDIR)/build/asan/python
python-test-asan: PRELOAD_FIRST = $(shell $(CXX) -print-file-name=libasan.so):$(shell \
	$(CXX) -print-file-name=libstdc++.so.6):
python-test-asan: orvaemu-install
	$(call configure,asan,$(TEST_FLAGS) $(MODULE_FLAGS) -DORVAPY_SANITIZE=address,undefined)
	cmake --build build/asan -j $(JOBS) --target orvapy
	$(ON_BENCH) $(WITH_MODULE) ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
		LSAN_OPTIONS="suppressions=$(CURDIR)/tests/python/lsan.supp:print_suppressions=0" \
		UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
		"$(PYTHON)" -m pytest -q -p no:cacheprovider tests/python

# ---------------------------------------------------------------------------
# What users install

# The sdist and the orvapy wheel for $(PYTHON), built from it, with libusb
# inside: manylinux2014 on this machine's architecture.
wheel: deps
	scripts/build-wheels.sh "$(PYTHON)" $(WHEELHOUSE) $(ARCH) "$(PYTHON)"

# Every wheel: orvapy for CPython 3.9 to 3.13 on x86_64 and aarch64, and orva;
# then each of them installed and tried (the aarch64 ones under qemu).
wheels: deps
	scripts/build-wheels.sh --orva "$(PYTHON)" $(WHEELHOUSE) "x86_64 aarch64" "$(PYTHON)" \
		$(foreach series,$(WHEEL_SERIES),$$(scripts/find-python.sh $(series)))
	scripts/arm64-sysroot.sh build/arm64-sysroot
	ORVAPY_WHEELHOUSE="$(CURDIR)/$(WHEELHOUSE)" ORVAPY_WHEEL_SERIES="3.9 $(WHEEL_SERIES)" \
		ORVAPY_AARCH64_SERIES="3.9 $(WHEEL_SERIES)" ORVAPY_ARM64_SYSROOT="$(CURDIR)/build/arm64-sysroot" \
		"$(PYTHON)" -m pytest -q tests/package/test_wheels.py tests/package/test_aarch64.py

# orvapy from its repaired wheel (the one package-test tests too), and orvaemu.
python-install: wheel orvaemu-install
	$(PIP) --force-reinstall --no-deps \
		$(WHEELHOUSE)/orvapy-$(VERSION)-$(call wheel-tag,$(PYTHON))-*_$(ARCH).whl

# What users install: the 3.9 and 3.13 wheels in fresh environments outside
# the tree, the aarch64 3.11 wheel under qemu in a Debian 12 arm64 sysroot,
# and the C++ package installed from the debug build.
package-test: python-install build
	scripts/build-wheels.sh --orva "$(PYTHON)" $(WHEELHOUSE) $(ARCH) "$$(scripts/find-python.sh 3.13)"
	scripts/build-wheels.sh "$(PYTHON)" $(WHEELHOUSE) aarch64 "$$(scripts/find-python.sh 3.11)"
	scripts/arm64-sysroot.sh build/arm64-sysroot
	ORVAPY_WHEELHOUSE="$(CURDIR)/$(WHEELHOUSE)" ORVAPY_WHEEL_SERIES="3.9 3.13" \
		ORVAPY_AARCH64_SERIES="3.11" ORVAPY_ARM64_SYSROOT="$(CURDIR)/build/arm64-sysroot" \
		ORVAPY_CPP_BUILD="$(CURDIR)/build/debug" "$(PYTHON)" -m pytest -q tests/package

# The C++ core's device-free tests, built for 64-bit Windows with mingw-w64
# and run under wine.
windows-test: deps
	scripts/windows-test.sh "$(PYTHON)"

# ---------------------------------------------------------------------------
# Everything CI runs

test: cpp-test cpp-test-asan cpp-test-tsan thread-safety python-test python-test-asan \
	package-test fuzz-test soak-test doc-test

demo: python-install
	"$(PYTHON)" -m orvaemu --dongle EMU0 --radio-robot 80/2M/E7E7E7E7E7 --usb-robot EMUR0 \
		-- "$(PYTHON)" examples/demo.py

# libFuzzer targets, built with clang apart from the other builds.
FUZZ_SECONDS ?= 300
CONFIGURE_FUZZ = CC=clang CXX=clang++ \
	$(call configure,fuzz,-DORVAPY_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
fuzz: deps
	$(CONFIGURE_FUZZ)
	cmake --build build/fuzz -j $(JOBS) --target uri_fuzz packet_fuzz device_fuzz
	scripts/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS)

fuzz-test:
	$(MAKE) fuzz FUZZ_SECONDS=30

# The device fuzz target for a number of inputs in all, one process per core,
# then what it found new merged into its seeds (docs/reliability.md). Not part
# of make test: a million inputs take about an hour.
DEVICE_FUZZ_RUNS ?= 1000000
DEVICE_FUZZ_PROCESSES ?= $(shell nproc)
fuzz-device-long: deps
	$(CONFIGURE_FUZZ)
	cmake --build build/fuzz -j $(JOBS) --target device_fuzz
	scripts/fuzz-device-long.sh build/fuzz $(DEVICE_FUZZ_RUNS) $(DEVICE_FUZZ_PROCESSES)

# Chaos soak: traffic in several threads over two dongles and a cable robot
# while every fault of the bench strikes at random moments (docs/reliability.md).
SEED ?= 1
DURATION ?= 600
CHECKPOINT_EVERY ?= 60
# It runs the debug build's module, on the system's libusb: the wheels' libusb
# hears devices come and go through the kernel's netlink, which the emulated
# bench does not speak (docs/installing.md).
soak: dev-install orvaemu-install
	rm -rf build/soak-tmp && mkdir -p build/soak-tmp
	TMPDIR="$(CURDIR)/build/soak-tmp" $(WITH_MODULE) "$(PYTHON)" tests/soak/soak.py \
		--seed $(SEED) --duration $(DURATION) --checkpoint-every $(CHECKPOINT_EVERY) \
		--log-dir "$(CURDIR)/build/soak"

soak-test:
	$(MAKE) soak DURATION=60 CHECKPOINT_EVERY=20

# ---------------------------------------------------------------------------
# Benchmarks, in the release build

# The table of docs/performance.md: ratios measured in one run, the two sides
# interleaved, best of several rounds. (bench-programs runs the C++ benchmarks
# alone.)
bench: python-install
	$(call configure,release,$(RELEASE_FLAGS))
	cmake --build build/release -j $(JOBS)
	$(ON_BENCH) "$(PYTHON)" bench/performance.py build/release/bench
	$(MAKE) bench-remote

# Links through orva serve: echo against a direct one, packets/s with one and
# eight clients, the server's CPU per packet (docs/remote.md).
bench-remote: python-install tool-install
	$(ON_BENCH) "$(PYTHON)" bench/remote_bench.py $(ROUNDS)

# The C++ benchmarks take the wait preload from the release build, orvaemu
# need not be installed.
bench-programs bench-scan bench-workers: WAIT_PRELOAD = $(CURDIR)/build/release/emu/liborvaemu-wait.so:

bench-programs: deps
	$(call configure,release,$(RELEASE_FLAGS))
	cmake --build build/release -j $(JOBS)
	build/release/bench/queue_bench
	$(ON_BENCH) build/release/bench/round_trip_bench

# A scan's USB operations against the fewest it can make, and its time, with
# one dongle and with two, interleaved (ROUNDS rounds, best time taken;
# SCAN_PACE=hardware paces the devices like real ones).
ROUNDS ?= 5
SCAN_PACE ?= fast
bench-scan: deps
	$(call configure,release,$(RELEASE_FLAGS))
	cmake --build build/release -j $(JOBS) --target scan_bench orvaemu_wait
	$(ON_BENCH) build/release/bench/scan_bench $(ROUNDS) $(SCAN_PACE)

# Idle CPU of each connection kind and send-to-air latency of an idle radio link.
bench-workers: deps
	$(call configure,release,$(RELEASE_FLAGS))
	cmake --build build/release -j $(JOBS) --target worker_cost_bench orvaemu_wait
	$(ON_BENCH) build/release/bench/worker_cost_bench

# The swarm table (docs/performance.md): 1 to 8 dongles with 1 to 32 robots
# each, the devices under the launcher; SWARM_PACE=hardware sets each
# dongle's rate against what its paced operations allow.
SWARM_PACE ?= fast
SWARM_DONGLES ?= 1,2,4,8
SWARM_ROBOTS ?= 1,8,16,32
bench-swarm: python-install
	$(call configure,release,$(RELEASE_FLAGS))
	cmake --build build/release -j $(JOBS) --target orvabench
	$(ON_BENCH) "$(PYTHON)" bench/swarm.py build/release/bench \
		--pace $(SWARM_PACE) --dongles $(SWARM_DONGLES) --robots $(SWARM_ROBOTS)

# ---------------------------------------------------------------------------

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
