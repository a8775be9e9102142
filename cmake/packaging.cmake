# What `cmake --install` puts in place besides the libraries and headers
# (installed by their own folders): the program's run path, the man page,
# the pkg-config files and a relocatable CMake package.
include(CMakePackageConfigHelpers)

add_library(ztmime::ztmime ALIAS ztmime)
add_library(ztmime::ztview ALIAS ztview)

# The program and libztmime find their libraries in the prefix without
# ldconfig: a run path relative to where they are installed, left out when
# the library folder is one the loader searches anyway.
set(ZT_LIBDIR_ABS ${CMAKE_INSTALL_LIBDIR})
if(NOT IS_ABSOLUTE ${ZT_LIBDIR_ABS})
  set(ZT_LIBDIR_ABS ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
endif()
set(ZT_SYSTEM_LIBDIRS ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES} ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES})
if(NOT ZT_LIBDIR_ABS IN_LIST ZT_SYSTEM_LIBDIRS)
  file(RELATIVE_PATH ZT_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${ZT_LIBDIR_ABS})
  set_target_properties(ztmime-cli PROPERTIES INSTALL_RPATH "$ORIGIN/${ZT_BIN_TO_LIB}")
  set_target_properties(ztmime PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/doc/ztmime.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# pkg-config files carry absolute paths like every .pc file, so they are
# written at install time, when the prefix given to `cmake --install
# --prefix` is known: configured here with everything but the prefix, and
# finished by the install script.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ZT_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ZT_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(ZT_PC_PREFIX "@ZT_PC_PREFIX@")
set(ZT_PC_DIR ${PROJECT_BINARY_DIR}/pkgconfig)
foreach(pc ztview ztmime)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${ZT_PC_DIR}/${pc}.pc.in @ONLY)
  install(CODE "
    set(ZT_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${ZT_PC_DIR}/${pc}.pc.in\" \"${ZT_PC_DIR}/${pc}.pc\" @ONLY)")
  install(FILES ${ZT_PC_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# find_package(ztmime): targets ztmime::ztmime and ztmime::ztview, found
# relative to the package's own folder so the prefix can move.
set(ZT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ztmime)
install(EXPORT ztmimeTargets NAMESPACE ztmime:: DESTINATION ${ZT_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ztmimeConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ztmimeConfig.cmake INSTALL_DESTINATION ${ZT_CMAKE_DIR})
# Same major version, same SONAME: see the README's SONAME policy.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ztmimeConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ztmimeConfig.cmake
  ${PROJECT_BINARY_DIR}/ztmimeConfigVersion.cmake DESTINATION ${ZT_CMAKE_DIR})
