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

# Adds the Python module `target` over the core, built from the given
# sources and exporting only PyInit_<init>, whatever the core's objects or
# the standard library's inline code would otherwise export; and, unless
# skipped, its free-threaded variant `target`_ft (see above). Both keep
# OUTPUT_NAME <init>.
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
  set(modules ${target})
  # The free-threaded variant differs in its ABI tag only: "cpython-314t-..."
  # for "cpython-314-...". It is never installed.
  string(REPLACE "cpython-314-" "cpython-314t-" ft_soabi "${Python_SOABI}")
  if(NOT SKBUILD AND NOT NOVREL_SKIP_FREE_THREADED AND NOT ft_soabi STREQUAL Python_SOABI)
    add_library(${target}_ft MODULE)
    target_include_directories(${target}_ft PRIVATE ${Python_INCLUDE_DIRS})
    target_compile_definitions(${target}_ft PRIVATE Py_GIL_DISABLED=1)
    set_target_properties(${target}_ft PROPERTIES
      PREFIX ""
      SUFFIX ".${ft_soabi}${CMAKE_SHARED_MODULE_SUFFIX}")
    list(APPEND modules ${target}_ft)
  endif()
  foreach(module IN LISTS modules)
    target_sources(${module} PRIVATE ${ARGN})
    target_include_directories(${module} PRIVATE ${NOVREL_ROOT}/src)
    target_link_libraries(${module} PRIVATE novrel_core)
    target_link_options(${module} PRIVATE "LINKER:--version-script=${map}")
    set_target_properties(${module} PROPERTIES LINK_DEPENDS "${map}" OUTPUT_NAME ${init})
    if(NOVREL_TESTS)
      # Every defined dynamic symbol of the module must be PyInit_<init>.
      add_test(NAME ${module}_exports_only_init
        COMMAND sh -c "nm -D --defined-only \"$1\" | awk '{print $NF}' | grep -vx PyInit_${init} && exit 1; nm -D --defined-only \"$1\" | grep -qw PyInit_${init}"
                sh $<TARGET_FILE:${module}>)
    endif()
  endforeach()
endfunction()

novrel_add_python_module(novrel novrel ${NOVREL_BOUNDARY_SOURCES})

install(TARGETS novrel LIBRARY DESTINATION . COMPONENT python)
# Type checkers that follow PEP 561 look for stubs only inside packages, so
# the stub also goes into a stub-only package beside the module; the copy
# next to the module serves the tools that look there.
install(FILES novrel.pyi DESTINATION . COMPONENT python)
install(FILES novrel.pyi DESTINATION novrel-stubs RENAME __init__.pyi COMPONENT python)
