# Read by cpack once per generator.
if(CPACK_GENERATOR STREQUAL "DEB")
  # The package lands in /usr: it carries everything an install puts in
  # place, but the Python binding from the copy made for Debian's python3
  # there instead of the one for the build's own prefix, and the manual
  # pages compressed.
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INSTALL_CMAKE_PROJECTS "")
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    # The binding and the plain manual pages have Debian copies of their own.
    if(NOT component STREQUAL "python" AND NOT component STREQUAL "man")
      list(APPEND CPACK_INSTALL_CMAKE_PROJECTS
           "${CPACK_PIXTRIM_BUILD_DIR}" "${CPACK_PACKAGE_NAME}" "${component}" /)
    endif()
  endforeach()
endif()
