# Quick start: `make demo` (a report of this machine) and `make test` (every test).
# Both install what they need first: Debian packages when missing (as root),
# and the Python test tools from PyPI.

PYTHON ?= python3
BUILD ?= build
DEBIAN_BUILD_PACKAGES := g++ make
DEBIAN_TEST_PACKAGES := libgtest-dev procps iproute2 util-linux libjemalloc2
PYTHON_TEST_PACKAGES := pytest hypothesis

.PHONY: demo test bench build deps-build deps-test clean

deps-build:
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh build $(DEBIAN_BUILD_PACKAGES)

deps-test: deps-build
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh test $(DEBIAN_TEST_PACKAGES) -- $(PYTHON_TEST_PACKAGES)

$(BUILD)/build.ninja $(BUILD)/Makefile:
	@true

build: deps-test
	@PYTHON=$(PYTHON) sh tools/configure.sh $(BUILD)
	cmake --build $(BUILD) -j 2

demo: deps-build
	@PYTHON=$(PYTHON) NORVIK_TESTS=OFF sh tools/configure.sh $(BUILD)
	cmake --build $(BUILD) -j 2 --target _norvik_bsd
	PYTHONPATH=$(BUILD)/release $(PYTHON) demo/report.py

test: build
	cd $(BUILD) && ctest --output-on-failure
	NORVIK_BUILD_DIR=$(abspath $(BUILD)) $(PYTHON) -m pytest -q tests/python

bench: build
	PYTHONPATH=$(BUILD)/release $(PYTHON) bench/run.py --floor $(BUILD)/bench/norvik_floor

clean:
	rm -rf $(BUILD)
