# The Debian package: what `cmake --install` lays out, under /usr, with the dependencies that
# dpkg-shlibdeps finds for the program and the two page tools it links.
include_guard(GLOBAL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovanel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tovanel developers")
set(CPACK_PACKAGE_CONTACT "The Tovanel developers <maintainers@tovanel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch converter of TIFF files into PNG files, one per page")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Tovanel turns single- and multi-page TIFF files into PNG files, one PNG\n\
per page, in batches: through its window, or without one through\n\
tovanel-batch, for scripts, servers and clusters (shards, Slurm job arrays,\n\
a JSON Lines report, resume). Every page comes out as it is in the TIFF:\n\
bit depth, palettes, transparency, colour profiles and resolution are kept;\n\
damaged files are passed over and reported.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tovanel.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The converter opens lcms2 only for Lab pages, libgeotiff and PROJ only for GeoTIFF pages (dlopen), so no
# linked library names them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "liblcms2-2, libgeotiff5, libproj25")
# Qt finds its window-system plugins at run time, so no linked library names them; the X11 one comes
# with Qt's GUI library, the Wayland one is separate.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_STRIP_FILES ON)
# Only what the program needs: the tests and benchmarks install nothing, and no other component exists.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
# What Debian asks of every package's documentation folder: the copyright and, for a package without a
# Debian revision, its changelog, compressed.
set(TOVANEL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tovanel)
configure_file(${PROJECT_SOURCE_DIR}/resources/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
find_program(GZIP_PROGRAM gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/debian/changelog -c > ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog VERBATIM)
add_custom_target(tovanel_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/resources/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DESTINATION ${TOVANEL_DOC_DIR})
include(CPack)
