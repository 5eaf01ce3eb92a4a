#!/usr/bin/env bash
# Builds the published modules the way a user with the maker's libraries does, with the
# stand-in in the maker's place: the stand-in alone, its two libraries installed into a
# temporary prefix, then velmo_hal_py and velmo_base_py from a separate build folder over that
# prefix (VELMO_DEVICE_LIBRARY_DIR). Every symbol the modules take from the two libraries must
# be one that the device library's interface promises (the list below); the list of what they
# take is printed; velmo._io, the native half of velmo.io, and velmo.frames take none. Then the
# Python tests that need no simulated camera run against them, velmo.io's among them.
#
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$PWD/.venv
build=$PWD/build/device-library
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-device-library.XXXXXX")
trap 'rm -rf "$work"' EXIT
pybind11_dir=$("$venv/bin/python" -m pybind11 --cmakedir)

echo "== The stand-in alone, installed into $work/prefix"
"$venv/bin/cmake" -S . -B "$build/stand-in" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Release -DVELMO_WERROR=ON -DVELMO_BUILD_PYTHON=OFF >/dev/null
"$venv/bin/cmake" --build "$build/stand-in"
"$venv/bin/cmake" --install "$build/stand-in" --prefix "$work/prefix" >/dev/null
hal_library=$(find "$work/prefix" -name libVelmoHal.so -print -quit)
[ -n "$hal_library" ] || { echo "the stand-in's install holds no libVelmoHal.so" >&2; exit 1; }
library_dir=$(dirname "$hal_library")

echo "== The published modules over $library_dir"
"$venv/bin/cmake" -S . -B "$build/modules" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=Release -DVELMO_WERROR=ON -DVELMO_DEVICE_LIBRARY_DIR="$library_dir" -UVELMO_VelmoHal_PATH -UVELMO_VelmoBase_PATH \
  -DPython_EXECUTABLE="$venv/bin/python" -Dpybind11_DIR="$pybind11_dir" >/dev/null
"$venv/bin/cmake" --build "$build/modules"
"$venv/bin/cmake" --install "$build/modules" --prefix "$work/site" >/dev/null
modules=("$work"/site/velmo_*.so)
names=$(basename -a "${modules[@]}" | sed 's/\..*//' | sort | tr '\n' ' ')
[ "$names" = "velmo_base_py velmo_hal_py " ] || { echo "expected only the two published modules, got: $names" >&2; exit 1; }
# The velmo package comes along, with velmo.frames and velmo._io (the native half of velmo.io),
# which need no device library.
[ -f "$work/site/velmo/__init__.py" ] || { echo "the install lacks the velmo package" >&2; exit 1; }
for package_module in frames _io; do
  built=("$work"/site/velmo/$package_module.*.so)
  [ -f "${built[0]}" ] && [ -f "$work/site/velmo/$package_module.pyi" ] || {
    echo "the install lacks velmo.$package_module and its stub" >&2; exit 1; }
  modules+=("${built[0]}")
done
if find "$work/site" -name 'libVelmo*' | grep -q .; then
  echo "the modules' install carries a device library of its own" >&2
  exit 1
fi

echo "== Symbols the modules take from libVelmoHal and libVelmoBase"
"$venv/bin/python" - "$library_dir" "${modules[@]}" <<'EOF'
import re
import subprocess
import sys
from pathlib import Path

# The device library's interface, demangled: what the published modules may call or rely on.
SURFACE = [
    r"velmo::RawEventStreamFormat::RawEventStreamFormat\(std::(__cxx11::)?basic_string<.*>\)",
    r"velmo::RawEventStreamFormat::getEncodingType\(\) const",
    r"velmo::RawEventStreamFormat::getEncodingTypeStr\[abi:cxx11\]\(\) const|"
    r"velmo::RawEventStreamFormat::getEncodingTypeStr\(\) const",
    r"velmo::RawEventStreamFormat::contains\(std::(__cxx11::)?basic_string<.*> const&\) const",
    r"velmo::RawEventStreamFormat::operator\[\](\[abi:cxx11\])?\(std::basic_string_view<char, std::char_traits<char> >\) const",
    r"velmo::to_string(\[abi:cxx11\])?\(velmo::INTERFACE_TYPE\)",
    r"velmo::to_string(\[abi:cxx11\])?\(velmo::ToolType\)",
    r"velmo::ToolParameterTypeToString(\[abi:cxx11\])?\(velmo::ToolParameterType\)",
    r"velmo::Logger::Logger\(\)",
    r"velmo::Logger::~Logger\(\)",
    r"velmo::Logger::log_\(velmo::LogLevelType, char const\*, int, char const\*, \.\.\.\)",
    r"(vtable|typeinfo|typeinfo name) for velmo::CameraTool",
    r"velmo::CameraTool::getParam\(std::(__cxx11::)?basic_string<.*>, (int|float|bool|std::(__cxx11::)?basic_string<.*>)&\)",
    r"velmo::CameraTool::setParam\(std::(__cxx11::)?basic_string<.*>, "
    r"(int const&|float const&|double const&|bool const&|char const\*|std::(__cxx11::)?basic_string<.*> const&)\)",
    r"(typeinfo|typeinfo name) for velmo::CameraToolRegisterWithCallback",
    r"velmo::CameraToolRegisterWithCallback::getParamInfo\(std::(__cxx11::)?basic_string<.*>, "
    r"velmo::(Int|Float|Bool|Enum)ParameterInfo&\)",
    r"velmo::CameraToolRegisterWithCallback::getParam\(std::(__cxx11::)?basic_string<.*>, "
    r"(int|float|bool|std::(__cxx11::)?basic_string<.*>)&\)",
    r"velmo::CameraToolRegisterWithCallback::setParam\(std::(__cxx11::)?basic_string<.*>, "
    r"(int const&|float const&|bool const&|char const\*|std::(__cxx11::)?basic_string<.*> const&)\)",
    r"(typeinfo|typeinfo name) for velmo::Imx636Biases",
    r"velmo::Imx636Biases::~Imx636Biases\(\)",
]


def dynamic_symbols(path, *flags):
    """Mangled name -> demangled name of the dynamic symbols nm lists with these flags."""
    def listing(*extra):
        output = subprocess.run(["nm", "-D", "--format=posix", *flags, *extra, str(path)], check=True,
                                capture_output=True, text=True).stdout
        # A demangled name holds spaces: the type letter, value and size follow the last of them.
        return [re.sub(r" [A-Za-z][ 0-9a-f]*$", "", line) for line in output.splitlines() if line]
    return dict(zip(listing(), listing("--demangle")))


library_dir, modules = Path(sys.argv[1]), [Path(argument) for argument in sys.argv[2:]]
provided = {}
for library in ("libVelmoHal.so", "libVelmoBase.so"):
    provided.update(dynamic_symbols(library_dir / library, "--defined-only"))

outside = []
for module in modules:
    taken = sorted({demangled for mangled, demangled in dynamic_symbols(module, "--undefined-only").items()
                    if mangled.split("@")[0] in provided})
    name = module.name.split(".")[0]
    print(f"{name}: {len(taken)} symbols from the device library")
    for symbol in taken:
        allowed = any(re.fullmatch(pattern, symbol) for pattern in SURFACE)
        print(f"  {'ok ' if allowed else 'NOT IN THE INTERFACE'} {symbol}")
        if not allowed:
            outside.append(f"{name}: {symbol}")
    if name == "velmo_hal_py" and not taken:
        outside.append("velmo_hal_py takes no symbol at all: the listing itself is wrong")
    if name in ("velmo_base_py", "frames", "_io") and taken:
        outside.append(f"{name} must take nothing from the device library")
    if name in ("frames", "_io"):
        unresolved = sorted(demangled for demangled in dynamic_symbols(module, "--undefined-only").values()
                            if demangled.startswith("velmo::"))
        if unresolved:
            outside.append(f"{name} needs symbols of ours that nothing it links defines: {', '.join(unresolved)}")
if outside:
    sys.exit("symbols outside the device library's interface:\n  " + "\n  ".join(outside))
print("every symbol is in the device library's interface")
EOF

echo "== Python tests that need no simulated camera"
cd "$work"
cp -r "$OLDPWD/tests" "$OLDPWD/pyproject.toml" .
# Only the modules of this build: the .venv's own install of the package stays out of reach.
PYTHONPATH="$work/site" VELMO_WITHOUT_SIMULATOR=1 PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" - "$work/site" <<'EOF'
import sys
import velmo_base_py, velmo_hal_py
import velmo.frames, velmo.io
from velmo import _io
for module in (velmo_hal_py, velmo_base_py, velmo.frames, _io):
    if not module.__file__.startswith(sys.argv[1] + "/"):
        sys.exit(f"{module.__name__} was imported from {module.__file__}, not from {sys.argv[1]}")
EOF
PYTHONPATH="$work/site" VELMO_WITHOUT_SIMULATOR=1 PYTHONDONTWRITEBYTECODE=1 \
  "$venv/bin/python" -m pytest -p no:cacheprovider "$@"
