# `make demo` and `make test` each set up everything they need on a fresh machine: CPython
# 3.13, the .venv with the pinned build and test dependencies, GoogleTest, and the package
# itself, built and installed into .venv. Each step is skipped when it is already done.

VENV := .venv
PY := $(VENV)/bin/python
DEPS_STAMP := $(VENV)/.deps-installed
INSTALL_STAMP := $(VENV)/.velmo-installed
CPP_BUILD := build/cpp
GTEST_HEADER := /usr/include/gtest/gtest.h

SOURCES := $(shell find include device_library python_binding base_binding sim_binding testing_binding \
	-name '*.h' -o -name '*.cpp' -o -name CMakeLists.txt) CMakeLists.txt pyproject.toml \
	cmake/stubs.cmake scripts/gen-stubs.py
CPP_TEST_SOURCES := $(shell find tests/cpp -name '*.cpp' -o -name CMakeLists.txt)

.PHONY: demo test test-cpp test-hooks test-python test-arm64 check-asan check-valgrind check-device-library \
	test-wheel bench setup clean

demo: $(INSTALL_STAMP)
	$(PY) examples/tour.py

test: test-cpp test-python

setup: $(INSTALL_STAMP) $(GTEST_HEADER)

$(PY):
	"$$(scripts/find-python313.sh)" -m venv $(VENV)

$(DEPS_STAMP): requirements-dev.txt | $(PY)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

# The build directory is kept (pyproject's build-dir), so a rebuild only compiles what changed.
$(INSTALL_STAMP): $(DEPS_STAMP) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

$(GTEST_HEADER):
	apt-get update -qq
	apt-get install -y -qq libgtest-dev

# The C++ tests' build also makes velmo_test_hooks, the tests' and benchmarks' own module, which
# is never installed: tests/python/conftest.py and benchmarks/harness.py find it there.
$(CPP_BUILD)/build.ninja: $(DEPS_STAMP) $(GTEST_HEADER) CMakeLists.txt tests/cpp/CMakeLists.txt tests/hooks/CMakeLists.txt \
		device_library/CMakeLists.txt
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DVELMO_BUILD_TESTS=ON -DVELMO_BUILD_PYTHON=OFF -DVELMO_BUILD_TEST_HOOKS=ON \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)"

test-cpp: $(CPP_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

test-hooks: $(CPP_BUILD)/build.ninja
	$(VENV)/bin/cmake --build $(CPP_BUILD) --target velmo_test_hooks

test-python: $(INSTALL_STAMP) test-hooks
	$(PY) -m pytest

# The libraries, modules and C++ tests built with AddressSanitizer and UndefinedBehaviorSanitizer,
# then both test suites run under them (scripts/check-asan.sh).
check-asan: $(DEPS_STAMP) $(GTEST_HEADER)
	scripts/check-asan.sh

# The C++ tests under valgrind memcheck.
check-valgrind: $(CPP_BUILD)/build.ninja
	scripts/check-valgrind.sh

# One wheel, installed into a new virtual environment elsewhere, passes the Python tests there.
test-wheel: $(DEPS_STAMP) test-hooks
	scripts/test-wheel.sh

# Ratios of the binding layer's costs against their floors, measured in one run.
bench: $(INSTALL_STAMP) test-hooks
	scripts/bench.sh

# The published modules built over the stand-in's two libraries installed elsewhere, as over the
# maker's: only the device library's declared surface may be used (scripts/check-device-library.sh).
check-device-library: $(DEPS_STAMP)
	scripts/check-device-library.sh

# Cross-compiles for 64-bit Arm and runs the Python tests under qemu (scripts/test-arm64.sh).
test-arm64: $(DEPS_STAMP)
	scripts/test-arm64.sh

clean:
	rm -rf build $(INSTALL_STAMP)
