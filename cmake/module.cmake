# The Python extension module `novrel`, over the static core.
#
# NOVREL_MODULE: ON requires CPython 3.14 development files, OFF skips the
# module, AUTO builds it when they are found (the CPython 3.14 environments
# have them; a host with another Python version does not).
#
# The module is built for the interpreter found, with that interpreter's
# own headers and configuration: for the free-threaded one, name it with
# -DPython_EXECUTABLE=.../python3.14t (the free-threaded preset does).

if(NOVREL_MODULE STREQUAL "OFF")
  return()
endif()

if(NOVREL_MODULE STREQUAL "ON")
  find_package(Python 3.14...<3.15 REQUIRED COMPONENTS Interpreter Development.Module)
else()
  find_package(Python 3.14...<3.15 QUIET COMPONENTS Interpreter Development.Module)
  if(NOT Python_FOUND)
    message(STATUS "novrel: CPython 3.14 development files not found; the Python module is not built")
    return()
  endif()
endif()

# The exports check below runs for every build of the modules, with or
# without the C++ tests.
enable_testing()

# Adds the Python module `target` over the core, built from the given
# sources and exporting only PyInit_<init>, whatever the core's objects or
# the standard library's inline code would otherwise export.
function(novrel_add_python_module target init)
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${init}-exports.map")
  file(WRITE "${map}" "{\n  global: PyInit_${init};\n  local: *;\n};\n")
  python_add_library(${target} MODULE WITH_SOABI)
  # A debug interpreter (ABI tag "cpython-314d-...") on Debian keeps only its
  # pyconfig.h apart and links every other header to the release ones. GCC
  # resolves those links for system headers, so Python.h finds the release
  # pyconfig.h beside its target, and the module would be built without the
  # debug build's reference accounting and assertions unless told.
  if(Python_SOABI MATCHES "^cpython-[0-9]+t?d-")
    target_compile_definitions(${target} PRIVATE Py_DEBUG)
  endif()
  target_sources(${target} PRIVATE ${ARGN})
  target_include_directories(${target} PRIVATE ${NOVREL_ROOT}/src)
  target_link_libraries(${target} PRIVATE novrel_core)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_target_properties(${target} PROPERTIES LINK_DEPENDS "${map}" OUTPUT_NAME ${init})
  # Every defined dynamic symbol of the module must be PyInit_<init>.
  add_test(NAME ${target}_exports_only_init
    COMMAND sh -c "nm -D --defined-only \"$1\" | awk '{print $NF}' | grep -vx PyInit_${init} && exit 1; nm -D --defined-only \"$1\" | grep -qw PyInit_${init}"
            sh $<TARGET_FILE:${target}>)
endfunction()

novrel_add_python_module(novrel novrel ${NOVREL_BOUNDARY_SOURCES})

install(TARGETS novrel LIBRARY DESTINATION . COMPONENT python)
# Type checkers that follow PEP 561 look for stubs only inside packages, so
# the stub also goes into a stub-only package beside the module; the copy
# next to the module serves the tools that look there.
install(FILES novrel.pyi DESTINATION . COMPONENT python)
install(FILES novrel.pyi DESTINATION novrel-stubs RENAME __init__.pyi COMPONENT python)
