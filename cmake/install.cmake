# What `cmake --install` puts under the prefix: the library with its CMake
# package and quorvel.pc, the header, and the palettes in share/quorvel. The
# viewer and quorvel-render install themselves from their own folders.
include(CMakePackageConfigHelpers)

set(QV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorvel)
set(QV_DATA_DIR ${CMAKE_INSTALL_DATADIR}/quorvel)

install(TARGETS quorvel EXPORT quorvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT quorvelTargets NAMESPACE quorvel:: DESTINATION ${QV_CMAKE_PACKAGE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quorvelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/quorvelConfig.cmake
  INSTALL_DESTINATION ${QV_CMAKE_PACKAGE_DIR})
# Compatible within a major version, as the soname says.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/quorvelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/quorvelConfig.cmake
              ${PROJECT_BINARY_DIR}/package/quorvelConfigVersion.cmake
  DESTINATION ${QV_CMAKE_PACKAGE_DIR})

# quorvel.pc is written when installing, so its prefix is the one given to
# `cmake --install --prefix`, not the one guessed at configure time.
install(CODE "
  set(QV_PC_VERSION \"${PROJECT_VERSION}\")
  set(QV_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QV_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  foreach(_dir QV_PC_LIBDIR QV_PC_INCLUDEDIR)
    if(NOT IS_ABSOLUTE \"\${\${_dir}}\")
      set(\${_dir} \"\\\${prefix}/\${\${_dir}}\")
    endif()
  endforeach()
  set(QV_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/quorvel.pc.in\"
                 \"${PROJECT_BINARY_DIR}/package/quorvel.pc\" @ONLY)
")
install(FILES ${PROJECT_BINARY_DIR}/package/quorvel.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The palettes the programs look for in ../share/quorvel when installed.
install(FILES ${PROJECT_SOURCE_DIR}/def.pal DESTINATION ${QV_DATA_DIR} OPTIONAL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/palettes/ DESTINATION ${QV_DATA_DIR}/palettes
  FILES_MATCHING PATTERN "*.pal")

# Where the data folder is seen from the programs' folder, for the viewer's
# fallback when no def.pal lies beside it.
file(RELATIVE_PATH QV_DATA_FROM_BINDIR
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/quorvel)
