# Install rules: the library with its SONAME, the header, the CMake package
# (talmora::pixtrim) and the pkg-config file. The pixtrim command and the
# Python binding install from their own directories.
include(CMakePackageConfigHelpers)

# The SONAME follows the C ABI's major version, the file name the release.
set_target_properties(talmora-pixtrim PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME pixtrim)
target_include_directories(talmora-pixtrim PUBLIC
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
add_library(talmora::pixtrim ALIAS talmora-pixtrim)

install(TARGETS talmora-pixtrim EXPORT talmora-pixtrim-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/pixtrim.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(pixtrim_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/talmora-pixtrim)
install(EXPORT talmora-pixtrim-targets
  NAMESPACE talmora::
  DESTINATION ${pixtrim_cmake_dir})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/talmora-pixtrim-config.cmake.in
  ${PROJECT_BINARY_DIR}/talmora-pixtrim-config.cmake
  INSTALL_DESTINATION ${pixtrim_cmake_dir})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/talmora-pixtrim-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/talmora-pixtrim-config.cmake
  ${PROJECT_BINARY_DIR}/talmora-pixtrim-config-version.cmake
  DESTINATION ${pixtrim_cmake_dir})

file(RELATIVE_PATH pixtrim_pc_to_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" pixtrim_pc_to_prefix "${pixtrim_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/talmora-pixtrim.pc.in
  ${PROJECT_BINARY_DIR}/talmora-pixtrim.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/talmora-pixtrim.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package's version: the release and a Debian revision.
set(PIXTRIM_DEBIAN_REVISION 1 CACHE STRING "Debian revision of the package")
set(PIXTRIM_DEBIAN_VERSION "${PROJECT_VERSION}-${PIXTRIM_DEBIAN_REVISION}")

# The Python binding's tests, the command's tests and the install check all
# drive programs from Python or the shell.
find_program(PIXTRIM_PYTHON3 python3)
if(PIXTRIM_BUILD_TESTS AND NOT PIXTRIM_PYTHON3)
  message(FATAL_ERROR "The tests need python3 (scripts/setup.sh installs it)")
endif()

# Runs the unittest modules of one folder under CTest; environment is a
# list of NAME=VALUE settings.
function(pixtrim_python_test name test_dir environment)
  add_test(NAME ${name}
           COMMAND ${PIXTRIM_PYTHON3} -m unittest discover -v -s ${test_dir} -t ${test_dir})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${environment};PYTHONDONTWRITEBYTECODE=1"
    TIMEOUT 300)
endfunction()
