# Coverage build for `make coverage` (tools/run-coverage): every target of
# the project instrumented with gcov, the module for the interpreter found
# only. The free-threaded variant would add a second, never-loaded copy of
# every boundary line.
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
set(NOVREL_SKIP_FREE_THREADED ON)
