# Coverage build for `make coverage` (tools/run-coverage): every target of
# the project instrumented with gcov.
#
# Processes that end in abort() would lose their counters, since gcov writes
# them at exit; NOVREL_COVERAGE makes the failure machinery's abort path
# write them first.

option(NOVREL_COVERAGE "Instrument the build for gcov (make coverage)" OFF)
if(NOT NOVREL_COVERAGE)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "NOVREL_COVERAGE needs g++ (gcov)")
endif()

# Read at generation time, so these reach the targets defined above too.
# Atomic counters keep the threaded tests' counts whole.
string(APPEND CMAKE_CXX_FLAGS " --coverage -fprofile-update=atomic")
foreach(kind EXE SHARED MODULE)
  string(APPEND CMAKE_${kind}_LINKER_FLAGS " --coverage")
endforeach()
target_compile_definitions(novrel_core PRIVATE NOVREL_COVERAGE=1)

# The counters name sources by absolute path, which gcovr needs: the
# relative names of -ffile-prefix-map would be taken as relative to the
# build directory. The options must follow that map (the last one wins),
# hence target options, added once every target exists.
function(novrel_coverage_absolute_paths)
  get_property(targets DIRECTORY "${CMAKE_SOURCE_DIR}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_compile_options(${target} PRIVATE
        "-fprofile-prefix-map=${CMAKE_SOURCE_DIR}/=${CMAKE_SOURCE_DIR}/")
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL novrel_coverage_absolute_paths)
