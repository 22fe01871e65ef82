# Quick start: `make demo` (a report of this machine) and `make test` (every test).
# Both install what they need first: Debian packages when missing (as root),
# and the Python test tools from PyPI. A plain `make` lists the targets.

PYTHON ?= python3
BUILD ?= build
DEBIAN_BUILD_PACKAGES := g++ make
DEBIAN_TEST_PACKAGES := libgtest-dev procps iproute2 util-linux libjemalloc2
# mypy stays on 1.x: 2.0 can no longer check code for Python 3.9.
PYTHON_TEST_PACKAGES := pytest hypothesis mypy==1.20.2
DEBIAN_FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_RUNS ?= 100000

.PHONY: help demo test bench soak build deps-build deps-test clean distclean freebsd sanitize fuzz pythons

# The first target, so a plain `make` lists what there is.
ZIG_CACHES := $${XDG_CACHE_HOME:-$$HOME/.cache}/norvik $${XDG_CACHE_HOME:-$$HOME/.cache}/zig
help:
	@echo "make demo       build the module quietly and print a report of this machine"
	@echo "make test       build everything, then run the C++ and Python tests"
	@echo "make build      configure and build the modules and the C++ tests into $(BUILD)/"
	@echo "make freebsd    cross-build the module for FreeBSD 14.3 amd64 (installs zig from PyPI)"
	@echo "make wheels     a Linux and a FreeBSD wheel for every CPython 3.9 and up found, into dist/, checked"
	@echo "make pythons    the tests with every CPython 3.9 to 3.13 present, and 3.14 (GCC, clang), 3.15 and 3.14's debug build from a Debian sid root"
	@echo "make clang      everything built with clang, then the C++ tests"
	@echo "make sanitize   the tests with AddressSanitizer and UBSan"
	@echo "make fuzz       the libFuzzer programs (FUZZ_RUNS=N, default $(FUZZ_RUNS))"
	@echo "make bench      the cost of each function beside its floor"
	@echo "make soak       every function over and over, failing on memory growth"
	@echo "make clean      remove $(BUILD)/ (dist/, the zig toolchain and its cache stay)"
	@echo "make distclean  clean, and remove dist/, the sid root, the zig toolchain and zig's cache too"
	@echo "Details: README.md (users), docs/development.md (maintainers)."

deps-build:
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh build $(DEBIAN_BUILD_PACKAGES)

deps-test: deps-build
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh test $(DEBIAN_TEST_PACKAGES) -- $(PYTHON_TEST_PACKAGES)

$(BUILD)/build.ninja $(BUILD)/Makefile:
	@true

build: deps-test
	@PYTHON=$(PYTHON) sh tools/configure.sh $(BUILD)
	cmake --build $(BUILD) -j 2

# The build's output goes to a log, shown only when the build fails.
demo: deps-build
	@PYTHON=$(PYTHON) NORVIK_TESTS=OFF sh tools/configure.sh $(BUILD)
	@cmake --build $(BUILD) -j 2 --target _norvik_bsd >$(BUILD)/demo-build.log 2>&1 \
		|| { cat $(BUILD)/demo-build.log >&2; echo "make demo: the build failed (log: $(BUILD)/demo-build.log)" >&2; exit 1; }
	@PYTHONPATH=$(BUILD)/release $(PYTHON) demo/report.py

# CMakeLists.txt's FreeBSD branch built for FreeBSD 14.3 amd64 (zig from
# PyPI, cross/freebsd/toolchain.cmake), its exports and layouts checked.
freebsd: deps-build
	@PYTHON=$(PYTHON) sh cross/freebsd/build.sh $(BUILD)/freebsd

test: build freebsd
	@PYTHON=$(PYTHON) sh tools/stubtest.sh $(BUILD)
	cd $(BUILD) && ctest --output-on-failure
	NORVIK_BUILD_DIR=$(abspath $(BUILD)) $(PYTHON) -m pytest -q tests/python
	PYTHONPATH=$(abspath python) NORVIK_BSD_TESTING_MODULE=$(abspath $(BUILD))/scripted \
		$(PYTHON) -m pytest -q -p norvik_bsd_testing.plugin tests/downstream

# Everything of ours (module, C++ tests, bench) built with clang as well,
# every warning an error, and the C++ tests run.
.PHONY: clang
clang: deps-test
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh clang clang
	@CXX=clang++ PYTHON=$(PYTHON) sh tools/configure.sh $(BUILD)/clang
	cmake --build $(BUILD)/clang -j 2
	cd $(BUILD)/clang && ctest --output-on-failure

# The C++ and Python tests with AddressSanitizer and UBSan.
sanitize: deps-test
	@PYTHON=$(PYTHON) sh tools/sanitize.sh $(BUILD)/sanitize

# Each libFuzzer program for FUZZ_RUNS inputs.
fuzz: deps-build
	@PYTHON=$(PYTHON) sh tools/ensure-deps.sh fuzz $(DEBIAN_FUZZ_PACKAGES)
	@PYTHON=$(PYTHON) sh tools/fuzz.sh $(BUILD)/fuzz $(FUZZ_RUNS)

# The C++ tests, stubtest and the Python tests with every CPython 3.9 to 3.13
# on the machine, then with 3.14 (GCC and clang), 3.15 and the 3.14 debug
# build in a Debian sid root (tools/sid-root.sh: made under ~/.cache/norvik/
# when missing, about 2.6 GB; reused after), where pip install . and both
# wheels of 3.14 and 3.15 are checked too. NORVIK_SID=0 leaves the root out.
pythons: build
	@PYTHON=$(PYTHON) sh tools/pythons.sh $(BUILD)

# The Linux wheel (pip wheel .) and the FreeBSD 14.3 amd64 one (the CMake
# cross build) of every CPython 3.9 and up found (the sid root's too, when
# make pythons has made it) into dist/, each unpacked and checked.
.PHONY: wheels
wheels: deps-build
	@PYTHON=$(PYTHON) sh tools/wheels.sh dist $(BUILD)/wheels

bench: build
	PYTHONPATH=$(BUILD)/release $(PYTHON) bench/run.py --floor $(BUILD)/bench/norvik_floor

# Every function called over and over for SOAK_SECONDS each (default 3),
# failing on resident growth; one row per function.
SOAK_SECONDS ?= 3
soak: build
	PYTHONPATH=$(BUILD)/release $(PYTHON) tools/soak.py --seconds $(SOAK_SECONDS)

clean:
	rm -rf $(BUILD)
	@echo "make clean: left dist/, the sid root, the zig toolchain and zig's cache ($(ZIG_CACHES)); make distclean removes them"

# The sid root goes first, through its own script: it refuses while anything
# is still mounted inside it, where a plain rm would reach the host's /dev.
distclean: clean
	sh tools/sid-root.sh remove
	rm -rf --one-file-system dist $(ZIG_CACHES)
