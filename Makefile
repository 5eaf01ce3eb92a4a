# `make demo` and `make test` each set up everything they need on a fresh machine: CPython
# 3.13, the .venv with the pinned build and test dependencies, GoogleTest, and the package
# itself, built and installed into .venv. Each step is skipped when it is already done.

VENV := .venv
PY := $(VENV)/bin/python
DEPS_STAMP := $(VENV)/.deps-installed
INSTALL_STAMP := $(VENV)/.velmo-installed
CPP_BUILD := build/cpp
GTEST_HEADER := /usr/include/gtest/gtest.h
CHROMEDRIVER := /usr/bin/chromedriver
CLANG := /usr/bin/clang++

SOURCES := $(shell find include codec frames simulated_device binding_support python_binding base_binding frames_binding io_binding sim_binding testing_binding \
	-name '*.h' -o -name '*.cpp' -o -name CMakeLists.txt) CMakeLists.txt pyproject.toml \
	cmake/stubs.cmake scripts/gen-stubs.py $(shell find src -type f -not -path '*/__pycache__/*')
WHEELS_STAMP := dist/.built
CPP_TEST_SOURCES := $(shell find tests/cpp -name '*.cpp' -o -name CMakeLists.txt)

.PHONY: demo test test-cpp test-hooks test-python test-arm64 check-asan check-valgrind check-device-library \
	wheels test-wheel bench fuzz setup clean

demo: $(INSTALL_STAMP)
	$(PY) examples/tour.py

test: test-cpp test-python

setup: $(INSTALL_STAMP) $(GTEST_HEADER) $(CHROMEDRIVER)

$(PY):
	"$$(scripts/find-python313.sh)" -m venv $(VENV)

$(DEPS_STAMP): requirements-dev.txt | $(PY)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

# The build directory is kept (pyproject's build-dir), so a rebuild only compiles what changed.
$(INSTALL_STAMP): $(DEPS_STAMP) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps -C cmake.define.VELMO_WERROR=ON .
	touch $@

$(GTEST_HEADER):
	apt-get update -qq
	apt-get install -y -qq libgtest-dev

# The viewer's page is tested in Debian's headless Chromium, driven through its chromedriver.
$(CHROMEDRIVER):
	apt-get update -qq
	apt-get install -y -qq chromium chromium-driver

# Debian's clang brings libFuzzer and the sanitizer runtimes the fuzz target links.
$(CLANG):
	apt-get update -qq
	apt-get install -y -qq clang

# The C++ tests' build also makes velmo_test_hooks, the tests' and benchmarks' own module, which
# is never installed: tests/python/conftest.py and benchmarks/harness.py find it there.
$(CPP_BUILD)/build.ninja: $(DEPS_STAMP) $(GTEST_HEADER) CMakeLists.txt tests/cpp/CMakeLists.txt tests/hooks/CMakeLists.txt \
		codec/CMakeLists.txt simulated_device/CMakeLists.txt frames/CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DVELMO_WERROR=ON -DVELMO_BUILD_TESTS=ON -DVELMO_BUILD_PYTHON=OFF -DVELMO_BUILD_TEST_HOOKS=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"

# On x86-64 the frames kernels' tests then run once more as on a processor without AVX2, where
# the loader picks the kernels' baseline clones (scripts/test-baseline-clones.sh).
test-cpp: $(CPP_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure
	scripts/test-baseline-clones.sh

test-hooks: $(CPP_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(CPP_BUILD) --target velmo_test_hooks

test-python: $(INSTALL_STAMP) $(CHROMEDRIVER) test-hooks
	VELMO_ALL_EXTRAS=1 $(PY) -m pytest

# The libraries, modules and C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer,
# then both test suites run under them (scripts/check-asan.sh).
check-asan: $(DEPS_STAMP) $(GTEST_HEADER)
	scripts/check-asan.sh

# The C++ tests under valgrind memcheck.
check-valgrind: $(CPP_BUILD)/build.ninja
	scripts/check-valgrind.sh

# The manylinux wheels for x86-64 and aarch64 in dist/, repaired and checked with auditwheel.
wheels: $(WHEELS_STAMP)

$(WHEELS_STAMP): $(DEPS_STAMP) $(SOURCES) README.md LICENSE cmake/aarch64-linux-gnu.cmake \
		scripts/build-wheels.sh scripts/check-wheel.py scripts/arm64-tree.sh
	scripts/build-wheels.sh
	touch $@

# The x86-64 wheel, installed with the oldest NumPy it accepts into a new virtual environment
# elsewhere, passes the Python tests there.
test-wheel: $(WHEELS_STAMP) test-hooks
	scripts/test-wheel.sh

# The EVT3 decoder fuzzed with libFuzzer under AddressSanitizer and UndefinedBehaviorSanitizer
# for FUZZ_SECONDS (default 60) from the seed streams in tests/fuzz/corpus (scripts/fuzz.sh).
fuzz: $(CLANG)
	scripts/fuzz.sh

# Ratios of the binding layer's costs against their floors, measured in one run.
bench: $(INSTALL_STAMP) test-hooks
	scripts/bench.sh

# The published modules built over the stand-in's two libraries installed elsewhere, as over the
# maker's: only the device library's declared surface may be used (scripts/check-device-library.sh).
check-device-library: $(DEPS_STAMP)
	scripts/check-device-library.sh

# The aarch64 wheel, installed with pip into a new environment of the Debian arm64 tree's
# CPython, passes the Python tests under qemu (scripts/test-arm64.sh).
test-arm64: $(WHEELS_STAMP)
	scripts/test-arm64.sh

clean:
	rm -rf build dist $(INSTALL_STAMP)
