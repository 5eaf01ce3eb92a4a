# Type stubs for the modules of this build, written by scripts/gen-stubs.py from the modules of this
# build. A top-level module's stub is installed as a stub-only package
# (velmo_hal_py-stubs/__init__.pyi), the one form that mypy, pyright and editors all read for a
# single-file module in site-packages.
#
# The build's interpreter must load the modules, so a cross build and a sanitizer build (whose
# modules need the sanitizer runtime preloaded) write no stubs. The stubs do not depend on the
# machine, so a cross build may install those of a native build of the same sources, from the
# folder VELMO_PREBUILT_STUBS.
set(VELMO_PREBUILT_STUBS "" CACHE PATH "Folder of type stubs written by a native build, installed by a cross build")
#
# velmo.frames, velmo._io, velmo.sim and velmo.testing are modules of the velmo package: their
# stubs are written into a velmo folder and installed beside them in the package, whose py.typed
# makes mypy read them there.
set(VELMO_STUB_MODULES velmo_hal_py velmo_base_py)
set(VELMO_PACKAGE_STUB_MODULES frames _io)
set(VELMO_PACKAGE_STUB_TARGETS velmo_frames velmo_io)
if(NOT VELMO_DEVICE_LIBRARY_DIR)
  list(APPEND VELMO_PACKAGE_STUB_MODULES sim testing)
  list(APPEND VELMO_PACKAGE_STUB_TARGETS velmo_sim velmo_testing)
endif()

function(velmo_install_stubs stub_dir)
  foreach(module IN LISTS VELMO_STUB_MODULES)
    install(FILES ${stub_dir}/${module}.pyi DESTINATION ${module}-stubs RENAME __init__.pyi)
  endforeach()
  foreach(module IN LISTS VELMO_PACKAGE_STUB_MODULES)
    install(FILES ${stub_dir}/velmo/${module}.pyi DESTINATION velmo)
  endforeach()
endfunction()

if(CMAKE_CROSSCOMPILING AND VELMO_PREBUILT_STUBS)
  foreach(stub IN LISTS VELMO_STUB_MODULES VELMO_PACKAGE_STUB_MODULES)
    if(stub IN_LIST VELMO_PACKAGE_STUB_MODULES)
      set(stub velmo/${stub})
    endif()
    if(NOT EXISTS ${VELMO_PREBUILT_STUBS}/${stub}.pyi)
      message(FATAL_ERROR "VELMO_PREBUILT_STUBS (${VELMO_PREBUILT_STUBS}) has no ${stub}.pyi")
    endif()
  endforeach()
  velmo_install_stubs(${VELMO_PREBUILT_STUBS})
  return()
endif()
if(CMAKE_CROSSCOMPILING OR VELMO_SANITIZE)
  message(STATUS "Type stubs are not generated for a cross or sanitizer build")
  return()
endif()

set(VELMO_STUB_DIR ${CMAKE_CURRENT_BINARY_DIR}/stubs)
set(VELMO_STUB_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/scripts/gen-stubs.py)

execute_process(
  COMMAND ${Python_EXECUTABLE} -c "import pybind11_stubgen"
  RESULT_VARIABLE VELMO_STUBGEN_MISSING
  OUTPUT_QUIET ERROR_QUIET)
if(VELMO_STUBGEN_MISSING)
  message(FATAL_ERROR "${Python_EXECUTABLE} cannot import pybind11_stubgen, which writes the type stubs: "
                      "pip install -r requirements-dev.txt")
endif()

set(VELMO_STUB_FILES)
set(VELMO_STUB_MODULE_DIRS)
set(VELMO_STUB_PACKAGE_NAMES)
foreach(module IN LISTS VELMO_STUB_MODULES)
  list(APPEND VELMO_STUB_FILES ${VELMO_STUB_DIR}/${module}.pyi)
  list(APPEND VELMO_STUB_MODULE_DIRS $<TARGET_FILE_DIR:${module}>)
endforeach()
foreach(module target IN ZIP_LISTS VELMO_PACKAGE_STUB_MODULES VELMO_PACKAGE_STUB_TARGETS)
  list(APPEND VELMO_STUB_FILES ${VELMO_STUB_DIR}/velmo/${module}.pyi)
  list(APPEND VELMO_STUB_MODULE_DIRS $<TARGET_FILE_DIR:${target}>)
  list(APPEND VELMO_STUB_PACKAGE_NAMES velmo.${module})
endforeach()

add_custom_command(
  OUTPUT ${VELMO_STUB_FILES}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VELMO_STUB_DIR}
  COMMAND ${Python_EXECUTABLE} ${VELMO_STUB_SCRIPT} ${VELMO_STUB_DIR}
          --modules ${VELMO_STUB_MODULES} ${VELMO_STUB_PACKAGE_NAMES} --module-dirs ${VELMO_STUB_MODULE_DIRS}
  DEPENDS ${VELMO_STUB_MODULES} ${VELMO_PACKAGE_STUB_TARGETS} ${VELMO_STUB_SCRIPT}
  COMMENT "Writing the type stubs of the Python modules"
  VERBATIM)
add_custom_target(velmo_stubs ALL DEPENDS ${VELMO_STUB_FILES})

velmo_install_stubs(${VELMO_STUB_DIR})
