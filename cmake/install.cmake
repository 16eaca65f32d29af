# Installing the library for application authors: the shared library with its
# SONAME, the header, a pkg-config file and a CMake package (find_package
# (qzusbd) gives qzusbd::qzusbd). On Windows CPack packs the DLL, its import
# library, the .def file and the header into a zip (cpack -G ZIP).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT WIN32)
  set_target_properties(qzusbd PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
target_include_directories(qzusbd INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS qzusbd EXPORT qzusbdTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/qzusbd.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/qzusbd.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
foreach(tool qzsay qzsim qzdoctor)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The pkg-config file finds the prefix from its own place, so an installed
# tree may be moved (or installed with cmake --install --prefix).
file(RELATIVE_PATH QZUSBD_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" QZUSBD_PC_TO_PREFIX "${QZUSBD_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/qzusbd.pc.in ${PROJECT_BINARY_DIR}/qzusbd.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qzusbd.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(QZUSBD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qzusbd)
install(EXPORT qzusbdTargets NAMESPACE qzusbd:: DESTINATION ${QZUSBD_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qzusbdConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qzusbdConfig.cmake INSTALL_DESTINATION ${QZUSBD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qzusbdConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qzusbdConfig.cmake ${PROJECT_BINARY_DIR}/qzusbdConfigVersion.cmake
  DESTINATION ${QZUSBD_CMAKE_DIR})

set(CPACK_PACKAGE_NAME qzusbd)
set(CPACK_PACKAGE_VENDOR qzusbd)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Support library for an external hardware speech synthesizer")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
