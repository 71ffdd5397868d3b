# Build, test and demo entry points; `make test` works on a fresh machine.
PYTHON := $(shell scripts/find-python.sh)
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CMAKE_TEST_FLAGS := -DORVAPY_BUILD_TESTS=ON -DORVAPY_BUILD_EXAMPLES=ON -DCMAKE_BUILD_TYPE=Debug

.PHONY: all deps build cpp-test cpp-test-asan python-install python-test test demo format clean

all: build

deps:
	@scripts/install-deps.sh "$(PYTHON)"

build: deps
	cmake -S . -B build/debug $(CMAKE_TEST_FLAGS) >/dev/null
	cmake --build build/debug -j $(JOBS)

cpp-test: build
	ctest --test-dir build/debug --output-on-failure -j $(JOBS)

cpp-test-asan: deps
	cmake -S . -B build/asan $(CMAKE_TEST_FLAGS) -DORVAPY_SANITIZE=address,undefined >/dev/null
	cmake --build build/asan -j $(JOBS)
	ctest --test-dir build/asan --output-on-failure -j $(JOBS)

python-install: deps
	"$(PYTHON)" -m pip install -q --disable-pip-version-check --no-build-isolation .

python-test: python-install
	cd tests/python && "$(PYTHON)" -m pytest -q

test: cpp-test cpp-test-asan python-test

demo: build python-install
	"$(PYTHON)" examples/demo.py
	build/debug/examples/uri_info "radio://0/80/2M/E7E7E7E7E7" "radio://*/10/250K/e7e7e7e7e7?safelink=0&autoping=0" \
		"usb://1" "usb://5" "radio://0/80/2m/E7E7E7E7E7" "radio://0/80/2M/E7E7E7E7E7?foo=1"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
