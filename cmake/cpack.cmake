# Binary packages of what `cmake --install` puts in place: `cpack -G DEB`
# makes talmora-pixtrim_<version>_<arch>.deb, `cpack -G TGZ` a tarball.
set(PIXTRIM_PACKAGE_MAINTAINER "talmora-pixtrim developers <pixtrim@talmora.invalid>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "talmora-pixtrim developers")
set(CPACK_PACKAGE_CONTACT "${PIXTRIM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes JPEG, PNG and BMP files smaller")
set(CPACK_PACKAGE_DESCRIPTION
    "A small C library with eight plain functions that re-encodes JPEG, PNG and BMP files at a quality, to a size budget or losslessly, with the pixtrim command and a Python binding.")
set(CPACK_GENERATOR "DEB;TGZ")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, pkg-config")
set(CPACK_PIXTRIM_BUILD_DIR "${PROJECT_BINARY_DIR}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_generator.cmake)

include(CPack)
