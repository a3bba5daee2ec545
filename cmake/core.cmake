# The core's sources, named once for every build of it: the main build here
# and the fuzzing and sanitizer builds under tests/fuzz, which include this
# file with NOVREL_ROOT set to the project root.
set(NOVREL_FAILURE_SOURCES
  ${NOVREL_ROOT}/src/failure/backtrace.cpp
  ${NOVREL_ROOT}/src/failure/fatal_error.cpp
  ${NOVREL_ROOT}/src/failure/memory.cpp
  ${NOVREL_ROOT}/src/failure/report.cpp)
set(NOVREL_CORE_SOURCES
  ${NOVREL_ROOT}/src/lib.cpp
  ${NOVREL_ROOT}/src/reader/block_walker.cpp
  ${NOVREL_ROOT}/src/reader/fingerprint.cpp
  ${NOVREL_ROOT}/src/reader/source.cpp
  ${NOVREL_ROOT}/src/reader/format.cpp
  ${NOVREL_ROOT}/src/reader/read_failure.cpp
  ${NOVREL_ROOT}/src/reader/row_sink.cpp
  ${NOVREL_ROOT}/src/reader/rows.cpp
  ${NOVREL_ROOT}/src/reader/rows_counted.cpp
  ${NOVREL_ROOT}/src/writer/plot_writer.cpp
  ${NOVREL_ROOT}/src/writer/field_format.cpp
  ${NOVREL_ROOT}/src/text/lines/fixed_line.cpp
  ${NOVREL_ROOT}/src/text/lines/fixed_line_layout.cpp
  ${NOVREL_ROOT}/src/text/io_error.cpp
  ${NOVREL_ROOT}/src/text/kernel.cpp
  ${NOVREL_ROOT}/src/text/lines/line_end.cpp
  ${NOVREL_ROOT}/src/text/lines/line_source.cpp
  ${NOVREL_ROOT}/src/text/message_text.cpp
  ${NOVREL_ROOT}/src/text/number/number.cpp
  ${NOVREL_ROOT}/src/text/tokens.cpp
  ${NOVREL_ROOT}/src/text/lines/utf8.cpp
  ${NOVREL_FAILURE_SOURCES})
# Entry points for the C++ tests, the failure probe, the stresses and the
# fuzz targets alone (src/failure/test_support.hpp): never in a module.
set(NOVREL_TEST_SUPPORT_SOURCES
  ${NOVREL_ROOT}/src/failure/test_support.cpp)
set(NOVREL_BOUNDARY_SOURCES
  ${NOVREL_ROOT}/src/boundary/call.cpp
  ${NOVREL_ROOT}/src/boundary/exception.cpp
  ${NOVREL_ROOT}/src/boundary/module.cpp
  ${NOVREL_ROOT}/src/boundary/py_text.cpp)

# Failure reports print source paths; make them relative to the project root
# whatever directory the build runs in.
add_compile_options("-ffile-prefix-map=${NOVREL_ROOT}/=")
