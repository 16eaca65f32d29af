# Installing the library for application authors: the shared library with its
# SONAME, the header, a pkg-config file and a CMake package (find_package
# (qzusbd) gives qzusbd::qzusbd). On Windows (MinGW) the layout is that of the
# Windows zip (see below).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CPACK_PACKAGE_NAME qzusbd)
set(CPACK_PACKAGE_VENDOR qzusbd)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})

if(WIN32 AND NOT MSVC)
  # One zip for both architectures: x86/ or x64/ with the DLL, its debug
  # information and both import libraries; the header, the .def file and a
  # README at the top. The x64 tree packs the i686 tree's files as well when
  # QZUSBD_PACKAGE_ALSO names it:
  #   cmake ... -DQZUSBD_PACKAGE_ALSO=$PWD/build-win32 && cd build-win64 && cpack
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(QZUSBD_ARCH_DIR x64)
  else()
    set(QZUSBD_ARCH_DIR x86)
  endif()
  set(QZUSBD_PACKAGE_ALSO "" CACHE PATH "Another Windows build tree (the other architecture) that the zip also holds")
  install(TARGETS qzusbd RUNTIME DESTINATION ${QZUSBD_ARCH_DIR} ARCHIVE DESTINATION ${QZUSBD_ARCH_DIR})
  install(FILES $<TARGET_FILE:qzusbd>.debug $<TARGET_LINKER_FILE_DIR:qzusbd>/qzusbd.lib
    DESTINATION ${QZUSBD_ARCH_DIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/qzusbd.h DESTINATION include)
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/qzusbd.def DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/README.windows.txt DESTINATION . RENAME README.txt)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/")
  if(QZUSBD_PACKAGE_ALSO)
    if(NOT EXISTS "${QZUSBD_PACKAGE_ALSO}/cmake_install.cmake")
      message(FATAL_ERROR "QZUSBD_PACKAGE_ALSO: ${QZUSBD_PACKAGE_ALSO} is not a configured build tree")
    endif()
    list(PREPEND CPACK_INSTALL_CMAKE_PROJECTS "${QZUSBD_PACKAGE_ALSO};${PROJECT_NAME};ALL;/")
    set(CPACK_SYSTEM_NAME windows)
  else()
    set(CPACK_SYSTEM_NAME windows-${QZUSBD_ARCH_DIR})
  endif()
  include(CPack)
  return()
endif()

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

set(CPACK_GENERATOR TGZ)
include(CPack)
