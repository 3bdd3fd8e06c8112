# Install rules of the deliverables an application embeds: libvyrocr and the
# scan interface library with their sonames, the program, the public headers
# under include/vyrocr/, the models directory once built, a pkg-config file
# and a CMake package. Every installed path is relative to the prefix, so an
# installed tree still works after it has been moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VYR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/vyrocr)
set(VYR_INSTALL_MODELSDIR ${CMAKE_INSTALL_DATADIR}/vyrocr/models)
set(VYR_INSTALL_MODELS_FROM ${CMAKE_SOURCE_DIR}/models-release CACHE PATH
  "Models directory installed with the library (left out while it does not exist)")

# What an application includes: the scan interface, the result record, the
# mode setters and the crops of the last scan, and the logging switches. The
# stage functions' headers stay inside: they expose the inference layer.
set(VYR_PUBLIC_HEADERS
  ${CMAKE_SOURCE_DIR}/app/vyrocr.h
  ${CMAKE_SOURCE_DIR}/src/result.h
  ${CMAKE_SOURCE_DIR}/src/global.h
  ${CMAKE_SOURCE_DIR}/src/vyr_log.h)

# Installed binaries find the libraries beside themselves, wherever the tree is.
file(RELATIVE_PATH VYR_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(vyrocr PROPERTIES INSTALL_RPATH "$ORIGIN/${VYR_BIN_TO_LIB}")
set_target_properties(vyrocr_scan PROPERTIES INSTALL_RPATH "$ORIGIN" EXPORT_NAME vyrocr)
set_target_properties(libvyrocr PROPERTIES EXPORT_NAME libvyrocr)

install(TARGETS libvyrocr vyrocr_scan EXPORT vyrocrTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vyrocr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VYR_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vyrocr)
install(DIRECTORY ${VYR_INSTALL_MODELS_FROM}/ DESTINATION ${VYR_INSTALL_MODELSDIR}
  OPTIONAL PATTERN ".*" EXCLUDE)

# CMake package: find_package(vyrocr) gives vyrocr::vyrocr (scan interface and
# library) and vyrocr::libvyrocr, and vyrocr_MODELS_DIR.
string(REPLACE "opencv_" "" VYR_OPENCV_COMPONENTS "${OpenCV_LIBS}")
string(REPLACE ";" " " VYR_OPENCV_COMPONENTS "${VYR_OPENCV_COMPONENTS}")
install(EXPORT vyrocrTargets NAMESPACE vyrocr:: DESTINATION ${VYR_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/vyrocrConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/vyrocrConfig.cmake
  INSTALL_DESTINATION ${VYR_INSTALL_CMAKEDIR}
  PATH_VARS VYR_INSTALL_MODELSDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/vyrocrConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/vyrocrConfig.cmake
  ${CMAKE_BINARY_DIR}/package/vyrocrConfigVersion.cmake
  DESTINATION ${VYR_INSTALL_CMAKEDIR})

# pkg-config file: the prefix is found from the file's own place.
file(RELATIVE_PATH VYR_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VYR_PC_TO_PREFIX "${VYR_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/vyrocr.pc.in ${CMAKE_BINARY_DIR}/package/vyrocr.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/vyrocr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The package as an application meets it: installed into a scratch prefix,
# moved, then built against and run on the shipped sample page.
if(VYR_BUILD_TESTS)
  add_test(NAME install_package
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/install/run.sh
      ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${CMAKE_COMMAND} ${CMAKE_CXX_COMPILER} ${VYR_SAN_FLAGS})
  set_tests_properties(install_package PROPERTIES LABELS install TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
