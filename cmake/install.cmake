# What `cmake --install` puts in place for a host program's build: the shared
# library with its SONAME links, the public header, a pkg-config file and a CMake
# package (find_package(QxVisor) -> QxVisor::QxVisor). The qxvisor tool's own
# rule sits beside it in tools/. Ends with the Debian package settings (CPack).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS QxVisor EXPORT QxVisorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# qx_ai.h for hosts; qx_tool.h declares the calls the technician's tool uses.
install(FILES ${PROJECT_SOURCE_DIR}/include/qx_ai.h ${PROJECT_SOURCE_DIR}/include/qx_tool.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(QX_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QxVisor)
install(EXPORT QxVisorTargets NAMESPACE QxVisor:: DESTINATION ${QX_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QxVisorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QxVisorConfig.cmake
  INSTALL_DESTINATION ${QX_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QxVisorConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QxVisorConfig.cmake ${PROJECT_BINARY_DIR}/QxVisorConfigVersion.cmake
  DESTINATION ${QX_CMAKE_PACKAGE_DIR})

# The prefix is only known when installing (`cmake --install --prefix`, or
# CPack's /usr), so qxvisor.pc is finished then; everything else is filled in now.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QX_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QX_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(QX_PC_PREFIX "@QX_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/qxvisor.pc.in ${PROJECT_BINARY_DIR}/qxvisor.pc.in @ONLY)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QX_PC_DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(QX_PC_DESTINATION "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
# One file per prefix, so that installs into several prefixes at once stay apart.
install(CODE "
  get_filename_component(QX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  string(MD5 qx_pc_key \"\${QX_PC_PREFIX}\")
  set(qx_pc_file \"${PROJECT_BINARY_DIR}/qxvisor-pc/\${qx_pc_key}/qxvisor.pc\")
  configure_file(\"${PROJECT_BINARY_DIR}/qxvisor.pc.in\" \"\${qx_pc_file}\" @ONLY)
  file(INSTALL DESTINATION \"${QX_PC_DESTINATION}\" TYPE FILE FILES \"\${qx_pc_file}\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qxvisor)
set(CPACK_PACKAGE_VENDOR "QxVisor")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "produce recognition library for retail weighing scales, with its command-line tool")
set(CPACK_PACKAGE_CONTACT "QxVisor developers <dev@qxvisor.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# dpkg-shlibdeps derives the runtime Depends (OpenCV, SQLite, curl, ...) from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)
include(CPack)
