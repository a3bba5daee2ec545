# The Python extension module `novrel`, over the static core.
#
# NOVREL_MODULE: ON requires CPython 3.14 development files, OFF skips the
# module, AUTO builds it when they are found (the CPython 3.14 environments
# have them; a host with another Python version does not).
#
# Besides the module for the interpreter found, the same sources are built
# against the free-threaded ABI (Py_GIL_DISABLED) as
# novrel.cpython-314t-<multiarch>.so. No free-threaded interpreter is at
# hand to load it; building and linking it checks that the code compiles
# against that ABI's inline reference counting and atomic type flags.

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

# Only PyInit_novrel leaves the library, whatever the core's objects or the
# standard library's inline code would otherwise export.
set(NOVREL_EXPORTS_MAP "${CMAKE_CURRENT_BINARY_DIR}/novrel-exports.map")
file(WRITE "${NOVREL_EXPORTS_MAP}" "{\n  global: PyInit_novrel;\n  local: *;\n};\n")

function(novrel_python_module target)
  target_sources(${target} PRIVATE ${NOVREL_BOUNDARY_SOURCES})
  target_include_directories(${target} PRIVATE src)
  target_link_libraries(${target} PRIVATE novrel_core)
  target_link_options(${target} PRIVATE "LINKER:--version-script=${NOVREL_EXPORTS_MAP}")
  set_target_properties(${target} PROPERTIES
    LINK_DEPENDS "${NOVREL_EXPORTS_MAP}"
    OUTPUT_NAME novrel)
endfunction()

python_add_library(novrel MODULE WITH_SOABI)
novrel_python_module(novrel)
# A debug interpreter (ABI tag "cpython-314d-...") on Debian keeps only its
# pyconfig.h apart and links every other header to the release ones. GCC
# resolves those links for system headers, so Python.h finds the release
# pyconfig.h beside its target, and the module would be built without the
# debug build's reference accounting and assertions unless told.
if(Python_SOABI MATCHES "^cpython-[0-9]+t?d-")
  target_compile_definitions(novrel PRIVATE Py_DEBUG)
endif()

# The free-threaded variant differs in its ABI tag only: "cpython-314t-..."
# for "cpython-314-...". It is never installed.
string(REPLACE "cpython-314-" "cpython-314t-" NOVREL_FT_SOABI "${Python_SOABI}")
if(NOT SKBUILD AND NOT NOVREL_SKIP_FREE_THREADED
   AND NOT NOVREL_FT_SOABI STREQUAL Python_SOABI)
  add_library(novrel_ft MODULE)
  target_include_directories(novrel_ft PRIVATE ${Python_INCLUDE_DIRS})
  target_compile_definitions(novrel_ft PRIVATE Py_GIL_DISABLED=1)
  novrel_python_module(novrel_ft)
  set_target_properties(novrel_ft PROPERTIES
    PREFIX ""
    SUFFIX ".${NOVREL_FT_SOABI}${CMAKE_SHARED_MODULE_SUFFIX}")
endif()

install(TARGETS novrel LIBRARY DESTINATION . COMPONENT python)
# Type checkers that follow PEP 561 look for stubs only inside packages, so
# the stub also goes into a stub-only package beside the module; the copy
# next to the module serves the tools that look there.
install(FILES novrel.pyi DESTINATION . COMPONENT python)
install(FILES novrel.pyi DESTINATION novrel-stubs RENAME __init__.pyi COMPONENT python)

if(NOVREL_TESTS)
  # Every defined dynamic symbol of each module must be PyInit_novrel.
  foreach(module novrel novrel_ft)
    if(TARGET ${module})
      add_test(NAME ${module}_exports_only_init
        COMMAND sh -c "nm -D --defined-only \"$1\" | awk '{print $NF}' | grep -vx PyInit_novrel && exit 1; nm -D --defined-only \"$1\" | grep -qw PyInit_novrel"
                sh $<TARGET_FILE:${module}>)
    endif()
  endforeach()
endif()
