# The arrays package `torvask`: its extension module torvask._core over the
# same core as novrel, and the package laid out in the build tree as it is
# installed (<build>/torvask/ holds the Python files and _core), so that a
# build directory first on sys.path imports it.

if(NOT TARGET novrel)
  return()  # no CPython 3.14 development files: module.cmake said so
endif()

novrel_add_python_module(torvask_core _core ${NOVREL_ROOT}/src/boundary/torvask_module.cpp
  ${NOVREL_ROOT}/src/boundary/torvask_rows.cpp ${NOVREL_ROOT}/src/boundary/torvask_read.cpp
  ${NOVREL_ROOT}/src/boundary/torvask_write.cpp ${NOVREL_ROOT}/src/boundary/torvask_sources.cpp)
set(TORVASK_BUILD_DIR "${CMAKE_BINARY_DIR}/torvask")
set_target_properties(torvask_core PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${TORVASK_BUILD_DIR}")

# The package's Python files, copied whenever they change; building the
# module lays out the package. They live under python/, not at the top: a
# torvask/ there would be what `import torvask` finds when Python runs from
# the checkout, a package without _core hiding the installed one.
set(TORVASK_SOURCE_DIR ${NOVREL_ROOT}/python/torvask)
file(GLOB TORVASK_PYTHON_FILES CONFIGURE_DEPENDS
  ${TORVASK_SOURCE_DIR}/*.py ${TORVASK_SOURCE_DIR}/*.pyi ${TORVASK_SOURCE_DIR}/py.typed)
set(copies)
foreach(file IN LISTS TORVASK_PYTHON_FILES)
  get_filename_component(name "${file}" NAME)
  add_custom_command(OUTPUT "${TORVASK_BUILD_DIR}/${name}"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${file}" "${TORVASK_BUILD_DIR}/${name}"
    DEPENDS "${file}" VERBATIM)
  list(APPEND copies "${TORVASK_BUILD_DIR}/${name}")
endforeach()
add_custom_target(torvask_package DEPENDS ${copies})
add_dependencies(torvask_core torvask_package)

install(TARGETS torvask_core LIBRARY DESTINATION torvask COMPONENT python)
install(FILES ${TORVASK_PYTHON_FILES} DESTINATION torvask COMPONENT python)
