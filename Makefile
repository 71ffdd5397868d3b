# Build, test and demo entry points; `make test` works on a fresh machine.
PYTHON := $(shell scripts/find-python.sh)
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CMAKE_TEST_FLAGS := -DORVAPY_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug

.PHONY: all deps build bench cpp-test cpp-test-asan cpp-test-tsan python-install python-test test demo format clean

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

# The link workers, the registry, the queues and the capture under ThreadSanitizer.
cpp-test-tsan: deps
	cmake -S . -B build/tsan $(CMAKE_TEST_FLAGS) -DORVAPY_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS) --target link_tests device_tests
	ctest --test-dir build/tsan --output-on-failure --timeout 300 -j $(JOBS) \
		-R '^(ConnectionQueues|WorkerThread|RadioWorkerTest|USBWorkerTest|LinkRegistryTest|CaptureFile|CaptureHooksTest)\.'

python-install: deps
	"$(PYTHON)" -m pip install -q --disable-pip-version-check --no-build-isolation .

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

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
