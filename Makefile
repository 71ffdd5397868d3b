# Build, test and demo entry points; `make test` works on a fresh machine.
PYTHON := $(shell scripts/find-python.sh)
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CMAKE_TEST_FLAGS := -DORVAPY_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug

.PHONY: all deps build bench bench-workers cpp-test cpp-test-asan cpp-test-tsan python-install python-test test demo format clean

all: build

deps:
	@scripts/install-deps.sh "$(PYTHON)"

build: deps
	cmake -S . -B build/debug $(CMAKE_TEST_FLAGS) >/dev/null
	cmake --build build/debug -j $(JOBS)

cpp-test: build
	ctest --test-dir build/debug --output-on-failure --timeout 300 -j $(JOBS)

cpp-test-asan: deps
	cmake -S . -B build/asan $(CMAKE_TEST_FLAGS) -DORVAPY_SANITIZE=address,undefined >/dev/null
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure --timeout 300 -j $(JOBS)

# The link workers, the registry and the queues under ThreadSanitizer.
cpp-test-tsan: deps
	cmake -S . -B build/tsan $(CMAKE_TEST_FLAGS) -DORVAPY_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS) --target link_tests device_tests
	ctest --test-dir build/tsan --output-on-failure --timeout 300 -j $(JOBS) \
		-R '^(ConnectionQueues|WorkerThread|RadioWorkerTest|USBWorkerTest|LinkRegistryTest|ScannerTest)\.'

python-install: deps
	"$(PYTHON)" -m pip install -q --disable-pip-version-check --no-build-isolation .

# The Python tests run under the umockdev preload, which the emulated bench
# (orvaemu) needs from process start, with a temporary folder of their own
# that a killed run cannot litter for the next one.
python-test: python-install
	rm -rf build/pytest-tmp && mkdir -p build/pytest-tmp
	TMPDIR="$(CURDIR)/build/pytest-tmp" \
		LD_PRELOAD="libumockdev-preload.so.0$${LD_PRELOAD:+:$$LD_PRELOAD}" \
		"$(PYTHON)" -m pytest -q tests/python emu/tests/python

test: cpp-test cpp-test-asan cpp-test-tsan python-test

demo: python-install
	"$(PYTHON)" -m orvaemu --dongle EMU0 --radio-robot 80/2M/E7E7E7E7E7 --usb-robot EMUR0 \
		-- "$(PYTHON)" examples/demo.py

bench: deps
	cmake -S . -B build/release -DORVAPY_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/release -j $(JOBS)
	build/release/bench/queue_bench
	mkdir -p build/release/emu-tmp
	TMPDIR="$(CURDIR)/build/release/emu-tmp" LD_PRELOAD=libumockdev-preload.so.0 \
		build/release/bench/round_trip_bench

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
