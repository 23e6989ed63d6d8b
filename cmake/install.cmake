# What `cmake --install` puts in place, and the Debian packages made from it:
#   runtime      libquorvin.so.1, libcindral.so.1
#   development  headers, the .so links, pkg-config files, the CMake package,
#                the static C++ host library
#   tools        quorvin, cindral and their manual pages
include(CMakePackageConfigHelpers)
find_program(QV_GZIP gzip)
set(QV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvin)

install(TARGETS quorvin_shared cindral EXPORT QuorvinTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development)
install(TARGETS quorvin_host EXPORT QuorvinTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES include/quorvin.h include/cindral.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES host/quorvin_host.h host/image_view.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvin COMPONENT development)

install(EXPORT QuorvinTargets NAMESPACE Quorvin:: DESTINATION ${QV_CMAKE_PACKAGE_DIR}
  COMPONENT development)
configure_package_config_file(cmake/QuorvinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuorvinConfig.cmake INSTALL_DESTINATION ${QV_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorvinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorvinConfig.cmake ${PROJECT_BINARY_DIR}/QuorvinConfigVersion.cmake
  DESTINATION ${QV_CMAKE_PACKAGE_DIR} COMPONENT development)

# pkg-config files: the prefix is the one installed to (cmake --install
# --prefix, or /usr in the packages), written in when they are installed.
foreach(QV_PC_NAME quorvin cindral)
  if(QV_PC_NAME STREQUAL "quorvin")
    set(QV_PC_DESCRIPTION "Streaming image decoder (BMP, TGA, PCX, GIF, TIFF, fax) with one entry point")
  else()
    set(QV_PC_DESCRIPTION "File coding behind a fixed 16-byte header")
  endif()
  configure_file(cmake/library.pc.in ${PROJECT_BINARY_DIR}/${QV_PC_NAME}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${QV_PC_NAME}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
  install(CODE "
    set(pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/${QV_PC_NAME}.pc\")
    file(READ \"\${pc}\" text)
    string(REPLACE \"%INSTALL_PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" text \"\${text}\")
    file(WRITE \"\${pc}\" \"\${text}\")" COMPONENT development)
endforeach()

if(TARGET quorvin AND TARGET cindral_tool)
  install(TARGETS quorvin cindral_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # The manual pages are roff sources kept beside each tool; a page added
  # later changes its folder, which makes CMake look again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tools/quorvin ${PROJECT_SOURCE_DIR}/tools/cindral)
  # Installed gzip-compressed, as Debian and most systems keep them (-n: no
  # name or time stamp inside, so the package builds reproducibly); as they
  # are where gzip is missing.
  set(pages)
  foreach(page quorvin/quorvin.1 cindral/cindral.1)
    set(source ${PROJECT_SOURCE_DIR}/tools/${page})
    if(NOT EXISTS ${source})
      continue()
    endif()
    if(QV_GZIP)
      get_filename_component(name ${page} NAME)
      set(packed ${PROJECT_BINARY_DIR}/man/${name}.gz)
      add_custom_command(OUTPUT ${packed}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${QV_GZIP} -9nc ${source} > ${packed}
        DEPENDS ${source} VERBATIM)
      list(APPEND pages ${packed})
      install(FILES ${packed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
    else()
      install(FILES ${source} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
    endif()
  endforeach()
  if(pages)
    add_custom_target(manual_pages ALL DEPENDS ${pages})
  endif()
endif()

# Each package's copyright and changelog, in /usr/share/doc/PACKAGE as Debian
# keeps them (the changelog gzip-compressed like the manual pages).
set(QV_DEB_RUNTIME libquorvin${PROJECT_VERSION_MAJOR})
configure_file(cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
set(QV_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog)
if(QV_GZIP)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
    COMMAND ${QV_GZIP} -9nc ${PROJECT_BINARY_DIR}/debian/changelog > ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog VERBATIM)
  add_custom_target(package_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
  set(QV_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.gz)
endif()
set(QV_DOC_PACKAGES "runtime:${QV_DEB_RUNTIME}" "development:libquorvin-dev" "tools:quorvin-tools")
if(TARGET quorvin_python)
  list(APPEND QV_DOC_PACKAGES "python:python3-quorvin")
endif()
foreach(entry IN LISTS QV_DOC_PACKAGES)
  string(REPLACE ":" ";" pair "${entry}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES cmake/debian/copyright ${QV_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# cpack -G DEB: one package per component, binaries stripped. The first line
# of each description is the package's synopsis. With QV_DEB_DEBUG_SYMBOLS
# (top CMakeLists.txt) the debug information goes into -dbgsym packages.
set(CPACK_PACKAGE_NAME quorvin)
set(CPACK_PACKAGE_VENDOR "Quorvin developers")
set(CPACK_PACKAGE_CONTACT "Quorvin developers <developers@quorvin.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvin developers <developers@quorvin.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
if(QV_DEB_DEBUG_SYMBOLS)
  # CPack moves the debug information out and strips the binaries itself;
  # stripped first, there would be nothing to move.
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
else()
  set(CPACK_STRIP_FILES ON)
endif()
# ldconfig through a trigger, once for all the packages installed together.
# (CPack still writes postinst and postrm scripts that call it for libraries
# under /usr/lib: redundant beside the trigger, and harmless.)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QV_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# JPEG is decoded by libjpeg-turbo, opened at run time when the first JPEG
# job needs it: recommended, not required (without it JPEG jobs fail with
# their own status and every other format decodes).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "libjpeg62-turbo")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Quorvin image decoder and Cindral file coder (shared libraries)
libquorvin decodes BMP, TGA, PCX, GIF, PNG, TIFF and fax images in bounded
memory through one entry point, and JPEG through libjpeg-turbo where it is
installed; libcindral codes files behind a 16-byte header. Both need the C
library alone.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquorvin-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Quorvin image decoder and Cindral file coder (development files)
C headers, pkg-config files (quorvin, cindral), the CMake package
(find_package(Quorvin)) and the static C++ host library.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quorvin-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Quorvin image decoder and Cindral file coder (command-line tools)
quorvin decodes images to BMP or PNG and shows what a file holds; cindral
codes, decodes and checks files.")
if(TARGET quorvin_python)
  # The module links the decoder in; it needs the C++ runtime, libpng,
  # Debian's python3 of the version it was built for, and NumPy.
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quorvin)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${QV_PYTHON_NEXT_MINOR}), python3-numpy")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pil, python3-dask, python3-distributed")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Quorvin image decoder (Python 3 module)
import quorvin: BMP, GIF, PCX, Targa, TIFF and fax images into NumPy arrays,
whole or in bands of rows in bounded memory; quorvin.dask converts many files
on a Dask cluster.")
endif()
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
include(CPack)
