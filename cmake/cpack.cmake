# Binary packages of what `cmake --install` puts in place: `cpack -G DEB`
# makes talmora-pixtrim_<version>_<arch>.deb, `cpack -G TGZ` a tarball.
set(PIXTRIM_PACKAGE_MAINTAINER "talmora-pixtrim developers <pixtrim@talmora.invalid>"
    CACHE STRING "Maintainer named in the Debian package")

# What Debian's policy asks of every package: a machine-readable copyright
# file, the Debian changelog and the upstream one, compressed, and the
# overrides of lintian's tags that do not apply here.
set(pixtrim_deb_dir ${PROJECT_BINARY_DIR}/debian)
string(TIMESTAMP PIXTRIM_DEBIAN_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${pixtrim_deb_dir}/changelog @ONLY)
add_custom_command(
  OUTPUT ${pixtrim_deb_dir}/changelog.Debian.gz ${pixtrim_deb_dir}/changelog.gz
  COMMAND gzip -9nc ${pixtrim_deb_dir}/changelog > ${pixtrim_deb_dir}/changelog.Debian.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/CHANGELOG.md > ${pixtrim_deb_dir}/changelog.gz
  DEPENDS ${pixtrim_deb_dir}/changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md VERBATIM)
add_custom_target(pixtrim_debian_files ALL
  DEPENDS ${pixtrim_deb_dir}/changelog.Debian.gz ${pixtrim_deb_dir}/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${pixtrim_deb_dir}/changelog.Debian.gz
              ${pixtrim_deb_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/talmora-pixtrim
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME talmora-pixtrim
        COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "talmora-pixtrim developers")
set(CPACK_PACKAGE_CONTACT "${PIXTRIM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes JPEG, PNG and BMP files smaller")
set(CPACK_PACKAGE_DESCRIPTION
    "A small C library with eight plain functions that re-encodes JPEG, PNG and
BMP files at a quality, to a size budget or losslessly, with the pixtrim
command and a Python binding.")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PIXTRIM_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The library's directory is the loader's: ldconfig runs from a trigger.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, python3-distributed, pkg-config")
set(CPACK_PIXTRIM_BUILD_DIR "${PROJECT_BINARY_DIR}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_generator.cmake)

include(CPack)
