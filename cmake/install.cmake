# Installation: the library, its checked build and its header, the stand-in platform library and
# its header, a CMake package (find_package(stimer 1 CONFIG)) and stimer.pc.

include(CMakePackageConfigHelpers)

set(STIMER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/stimer)

install(TARGETS stimer tovask
  EXPORT stimerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS stimer_checked
  EXPORT stimerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/stimer-checked)
install(FILES stimer/stimer.h platform/tovask.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT stimerTargets
  NAMESPACE stimer::
  DESTINATION ${STIMER_CMAKE_DIR})
configure_package_config_file(cmake/stimerConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfig.cmake
  INSTALL_DESTINATION ${STIMER_CMAKE_DIR})
# A newer minor version keeps every record and function of an older one; a
# new major version is a new SONAME.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfigVersion.cmake
  DESTINATION ${STIMER_CMAKE_DIR})

# stimer.pc is written when it is installed, so that it names the prefix
# actually installed to, also under cmake --install --prefix.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(STIMER_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(STIMER_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
install(CODE "
  set(STIMER_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(STIMER_PC_LIBDIR [==[${STIMER_PC_LIBDIR}]==])
  set(STIMER_PC_INCLUDEDIR [==[${STIMER_PC_INCLUDEDIR}]==])
  set(STIMER_PC_VERSION ${PROJECT_VERSION})
  configure_file([==[${CMAKE_CURRENT_SOURCE_DIR}/cmake/stimer.pc.in]==]
                 [==[${CMAKE_CURRENT_BINARY_DIR}/stimer.pc]==] @ONLY)
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/stimer.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
