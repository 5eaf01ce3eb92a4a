# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain, against a Debian
# arm64 tree (VELMO_ARM64_TREE) that supplies Python's headers; the tests run under qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# try_compile projects load this file again and need the tree too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMO_ARM64_TREE)
if(NOT VELMO_ARM64_TREE)
  message(FATAL_ERROR "Set VELMO_ARM64_TREE to the arm64 tree made by scripts/arm64-tree.sh")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${VELMO_ARM64_TREE})

# The tree's Python headers with its aarch64 pyconfig.h beside them (scripts/arm64-tree.sh).
set(Python_INCLUDE_DIR ${VELMO_ARM64_TREE}/../python3.13-include)
set(PYBIND11_USE_CROSSCOMPILING ON)
set(PYTHON_IS_DEBUG OFF)
set(PYTHON_MODULE_EXTENSION .cpython-313-aarch64-linux-gnu.so)
set(PYTHON_MODULE_DEBUG_POSTFIX "")
