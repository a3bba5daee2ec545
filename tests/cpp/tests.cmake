# The C++ tests: the unit tests, a probe program for failure-report tests
# that need a fresh process, and a multi-threaded failure stress (which the
# host's ThreadSanitizer build in tests/fuzz runs as well).
if(NOT NOVREL_TESTS)
  return()
endif()

enable_testing()
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

add_library(novrel_test_support STATIC ${NOVREL_TEST_SUPPORT_SOURCES})
target_link_libraries(novrel_test_support PUBLIC novrel_core)

file(GLOB NOVREL_TEST_SOURCES CONFIGURE_DEPENDS tests/cpp/test_*.cpp)
add_executable(novrel_tests ${NOVREL_TEST_SOURCES})
target_include_directories(novrel_tests PRIVATE tests/cpp)
target_link_libraries(novrel_tests PRIVATE novrel_test_support GTest::gtest GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(novrel_tests DISCOVERY_TIMEOUT 60)

# Exported symbols so that backtraces name the probe's own frames.
add_executable(failure_probe tests/cpp/failure_probe.cpp)
target_link_libraries(failure_probe PRIVATE novrel_test_support Threads::Threads)
set_target_properties(failure_probe PROPERTIES
  CXX_VISIBILITY_PRESET default ENABLE_EXPORTS ON)
add_dependencies(novrel_tests failure_probe)
target_compile_definitions(novrel_tests PRIVATE
  NOVREL_FAILURE_PROBE="$<TARGET_FILE:failure_probe>")

add_executable(stress_failure tests/cpp/stress_failure.cpp)
target_link_libraries(stress_failure PRIVATE novrel_test_support Threads::Threads)
add_test(NAME FailureStress COMMAND stress_failure)
