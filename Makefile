# Build, test and demo entry points; `make test` works on a fresh machine.
PYTHON := $(shell scripts/find-python.sh)
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CMAKE_TEST_FLAGS := -DORVAPY_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
VERSION := $(shell head -n 1 VERSION)
WHEELHOUSE := build/wheelhouse
WHEEL_SERIES := 3.10 3.11 3.12 3.13
wheel-tag = $(shell "$(1)" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')

.PHONY: all deps build bench bench-workers cpp-test cpp-test-asan cpp-test-tsan python-install python-test test demo format clean
.PHONY: wheel wheels package-test

all: build

deps:
	@scripts/install-deps.sh "$(PYTHON)"

build: deps
	cmake -S . -B build/debug $(CMAKE_TEST_FLAGS) >/dev/null
	cmake --build build/debug -j $(JOBS)

cpp-test: build
	ctest --test-dir build/debug --output-on-failure --timeout 300 -j $(JOBS)

# The sanitizer build also holds a Python module, for python-test-asan.
ASAN_CMAKE_FLAGS = $(CMAKE_TEST_FLAGS) -DORVAPY_SANITIZE=address,undefined -DORVAPY_BUILD_PYTHON=ON \
	-DPython_EXECUTABLE="$(PYTHON)" -Dpybind11_DIR="$$("$(PYTHON)" -m pybind11 --cmakedir)"

cpp-test-asan: deps
	cmake -S . -B build/asan $(ASAN_CMAKE_FLAGS) >/dev/null
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure --timeout 300 -j $(JOBS)

# The link workers, the registry, the scanner, the queues and the capture under ThreadSanitizer.
cpp-test-tsan: deps
	cmake -S . -B build/tsan $(CMAKE_TEST_FLAGS) -DORVAPY_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS) --target link_tests device_tests
	ctest --test-dir build/tsan --output-on-failure --timeout 300 -j $(JOBS) \
		-R '^(ConnectionQueues|WorkerThread|RadioWorkerTest|RadioTurnTest|USBWorkerTest|KorvaneUSBTest|LinkRegistryTest|ScannerTest|CaptureFile|CaptureHooksTest|OtherProgram|TooLong)\.'

# The two distributions: orvapy from its repaired wheel (the one package-test
# tests too), and the emulated bench, orvaemu, from emu/.
python-install: wheel
	"$(PYTHON)" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
		$(WHEELHOUSE)/orvapy-$(VERSION)-$(call wheel-tag,$(PYTHON))-*.whl
	CMAKE_EXECUTABLE="$$(cmake -P scripts/cmake-command.cmake 2>&1)" \
		"$(PYTHON)" -m pip install -q --disable-pip-version-check --no-build-isolation ./emu

.PHONY: tool-install typecheck
# The orva command-line tool, a distribution of its own beside orvapy.
tool-install: python-install
	"$(PYTHON)" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps tools/orva

# The Python tests run under the umockdev preload, which the emulated bench
# (orvaemu) needs from process start, with a temporary folder of their own
# that a killed run cannot litter for the next one.
python-test: python-install tool-install typecheck
	rm -rf build/pytest-tmp && mkdir -p build/pytest-tmp
	TMPDIR="$(CURDIR)/build/pytest-tmp" \
		LD_PRELOAD="libumockdev-preload.so.0$${LD_PRELOAD:+:$$LD_PRELOAD}" \
		"$(PYTHON)" -m pytest -q tests/python emu/tests/python
	TMPDIR="$(CURDIR)/build/pytest-tmp" \
		LD_PRELOAD="libumockdev-preload.so.0$${LD_PRELOAD:+:$$LD_PRELOAD}" \
		"$(PYTHON)" -m pytest -q tools/orva/tests
	cd examples/hover_control && TMPDIR="$(CURDIR)/build/pytest-tmp" \
		LD_PRELOAD="libumockdev-preload.so.0$${LD_PRELOAD:+:$$LD_PRELOAD}" \
		"$(PYTHON)" -m pytest -q -p no:cacheprovider

# mypy --strict over the examples, the orva tool, orvaemu and the Python
# tests, one folder at a time (each has its own conftest); stubtest keeps the
# stubs of the compiled modules true to what was built.
typecheck: tool-install
	rm -rf build/stubs && mkdir -p build/stubs/orvapy
	cp python/orvapy-stubs/__init__.pyi build/stubs/orvapy/
	"$(PYTHON)" -m mypy --config-file mypy.ini examples/*.py tools/orva/orva emu/python/orvaemu
	for folder in examples/hover_control tests/python emu/tests/python tools/orva/tests; do \
		MYPYPATH=$$folder "$(PYTHON)" -m mypy --config-file mypy.ini $$folder || exit 1; done
	MYPYPATH=build/stubs "$(PYTHON)" -m mypy.stubtest orvapy \
		--allowlist python/stubtest-allowlist.txt
	MYPYPATH=emu/python "$(PYTHON)" -m mypy.stubtest orvaemu._orvaemu \
		--allowlist emu/python/orvaemu/stubtest-allowlist.txt

test: cpp-test cpp-test-asan cpp-test-tsan python-test python-test-asan package-test fuzz-test soak-test

# The Python suite once more against the module of the sanitizer build: the
# interpreter is not instrumented, so the sanitizer runtime is preloaded, and
# before umockdev's (docs/reliability.md).
.PHONY: python-test-asan
python-test-asan: python-install
	cmake -S . -B build/asan $(ASAN_CMAKE_FLAGS) >/dev/null
	cmake --build build/asan -j $(JOBS) --target orvapy
	rm -rf build/pytest-asan-tmp && mkdir -p build/pytest-asan-tmp
	TMPDIR="$(CURDIR)/build/pytest-asan-tmp" PYTHONPATH="$(CURDIR)/build/asan/python" \
		LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so):$$($(CXX) -print-file-name=libstdc++.so.6):libumockdev-preload.so.0" \
		ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
		LSAN_OPTIONS="suppressions=$(CURDIR)/tests/python/lsan.supp:print_suppressions=0" \
		UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
		"$(PYTHON)" -m pytest -q -p no:cacheprovider tests/python


# The sdist and the orvapy wheel for $(PYTHON), built from it, with libusb inside.
wheel: deps
	scripts/build-wheels.sh "$(PYTHON)" $(WHEELHOUSE) "$(PYTHON)"

# The wheels for CPython 3.9 to 3.13.
wheels: deps
	scripts/build-wheels.sh "$(PYTHON)" $(WHEELHOUSE) "$(PYTHON)" \
		$(foreach series,$(WHEEL_SERIES),$$(scripts/find-python.sh $(series)))

# What users install: the 3.9 and 3.13 wheels in fresh environments outside
# the tree, and the C++ package installed from the debug build.
package-test: python-install build
	scripts/build-wheels.sh "$(PYTHON)" $(WHEELHOUSE) "$$(scripts/find-python.sh 3.13)"
	ORVAPY_WHEELHOUSE="$(CURDIR)/$(WHEELHOUSE)" ORVAPY_WHEEL_SERIES="3.9 3.13" \
		ORVAPY_CPP_BUILD="$(CURDIR)/build/debug" "$(PYTHON)" -m pytest -q tests/package

demo: python-install
	"$(PYTHON)" -m orvaemu --dongle EMU0 --radio-robot 80/2M/E7E7E7E7E7 --usb-robot EMUR0 \
		-- "$(PYTHON)" examples/demo.py

bench-programs: deps
	cmake -S . -B build/release -DORVAPY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/release -j $(JOBS)
	build/release/bench/queue_bench
	mkdir -p build/release/emu-tmp
	TMPDIR="$(CURDIR)/build/release/emu-tmp" LD_PRELOAD=libumockdev-preload.so.0 \
		build/release/bench/round_trip_bench

# A scan's USB operations against the fewest it can make, and its time, with
# one dongle and with two, interleaved (ROUNDS rounds, best time taken;
# SCAN_PACE=hardware paces the devices like real ones).
.PHONY: bench-scan
ROUNDS ?= 5
SCAN_PACE ?= fast
bench-scan: deps
	cmake -S . -B build/release -DORVAPY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/release -j $(JOBS) --target scan_bench
	mkdir -p build/release/emu-tmp
	TMPDIR="$(CURDIR)/build/release/emu-tmp" LD_PRELOAD=libumockdev-preload.so.0 \
		build/release/bench/scan_bench $(ROUNDS) $(SCAN_PACE)

# Idle CPU of each connection kind and send-to-air latency of an idle radio link.
bench-workers: deps
	cmake -S . -B build/release -DORVAPY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/release -j $(JOBS) --target worker_cost_bench
	mkdir -p build/release/emu-tmp
	TMPDIR="$(CURDIR)/build/release/emu-tmp" LD_PRELOAD=libumockdev-preload.so.0 \
		build/release/bench/worker_cost_bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build

# libFuzzer targets, built with clang apart from the other builds.
FUZZ_SECONDS ?= 300
.PHONY: fuzz fuzz-test
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -DORVAPY_BUILD_FUZZ=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/fuzz -j $(JOBS) --target uri_fuzz packet_fuzz device_fuzz
	scripts/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS)

fuzz-test:
	$(MAKE) fuzz FUZZ_SECONDS=30

# Chaos soak: traffic in several threads over two dongles and a cable robot
# while every fault of the bench strikes at random moments (docs/reliability.md).
SEED ?= 1
DURATION ?= 600
CHECKPOINT_EVERY ?= 60
.PHONY: soak soak-test
soak: python-install
	rm -rf build/soak-tmp && mkdir -p build/soak-tmp
	TMPDIR="$(CURDIR)/build/soak-tmp" "$(PYTHON)" tests/soak/soak.py \
		--seed $(SEED) --duration $(DURATION) --checkpoint-every $(CHECKPOINT_EVERY) \
		--log-dir "$(CURDIR)/build/soak"

soak-test:
	$(MAKE) soak DURATION=60 CHECKPOINT_EVERY=20

# The table of docs/performance.md: ratios measured in one run, the two sides
# interleaved, best of several rounds. (bench-programs runs the C++ benchmarks
# alone.)
.PHONY: bench-programs
bench: python-install
	cmake -S . -B build/release -DORVAPY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/release -j $(JOBS)
	rm -rf build/release/emu-tmp && mkdir -p build/release/emu-tmp
	TMPDIR="$(CURDIR)/build/release/emu-tmp" LD_PRELOAD=libumockdev-preload.so.0 \
		"$(PYTHON)" bench/performance.py build/release/bench
