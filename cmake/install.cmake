# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Installation, in four components that the Debian packages follow:
#   runtime  libstimer.so.1
#   checked  the checked build, in <libdir>/stimer-checked
#   dev      stimer.h, the libstimer.so link, libstimer.a, the CMake package,
#            stimer.pc and stimer-static.pc, the manual pages, the docs and
#            the examples
#   standin  the stand-in platform library and tovask.h, only with
#            STIMER_INSTALL_STANDIN; a real platform brings its own

include(CMakePackageConfigHelpers)

set(STIMER_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/stimer)

install(TARGETS stimer stimer_static
  EXPORT stimerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(TARGETS stimer_checked
  EXPORT stimerCheckedTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/stimer-checked COMPONENT checked NAMELINK_SKIP)
install(FILES stimer/stimer.h stimer/stimer_class.h stimer/stimer_queue.h stimer/stimer_wheel.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)
# The gdb extension, where gdb looks for the library's own script: under
# auto-load, the library's path as installed, which the prefix given at
# install time decides.
install(FILES stimer/stimer-gdb.py
  DESTINATION "${CMAKE_INSTALL_DATADIR}/gdb/auto-load\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}"
  RENAME libstimer.so.${PROJECT_VERSION}-gdb.py
  COMPONENT dev)
if(STIMER_INSTALL_STANDIN)
  install(TARGETS tovask LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT standin)
  install(FILES platform/tovask.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT standin)
endif()

install(EXPORT stimerTargets NAMESPACE stimer::
  DESTINATION ${STIMER_CMAKE_DIR} COMPONENT dev)
install(EXPORT stimerCheckedTargets NAMESPACE stimer::
  DESTINATION ${STIMER_CMAKE_DIR} COMPONENT checked)
configure_package_config_file(cmake/stimerConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfig.cmake
  INSTALL_DESTINATION ${STIMER_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
# A newer minor version keeps every record and function of an older one; a
# new major version is a new SONAME.
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/stimerConfigVersion.cmake
  DESTINATION ${STIMER_CMAKE_DIR} COMPONENT dev)

# The .pc files name the prefix relative to their own place, so that they
# hold wherever the tree is installed or unpacked.
file(RELATIVE_PATH STIMER_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" STIMER_PC_UP "${STIMER_PC_UP}")
set(pc_names stimer stimer-static)
set(pc_libs -lstimer -l:libstimer.a)
foreach(STIMER_PC_NAME STIMER_PC_LIB IN ZIP_LISTS pc_names pc_libs)
  configure_file(cmake/stimer.pc.in ${STIMER_PC_NAME}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${STIMER_PC_NAME}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

# The pages are built from docs/man by cmake/manpage.cmake, again after
# each edit.
file(GLOB STIMER_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/*.3)
set(man3 ${CMAKE_CURRENT_BINARY_DIR}/man3)
file(REMOVE_RECURSE ${man3}) # no page left of a name gone from docs/man
file(MAKE_DIRECTORY ${man3})
set(ext .3)
if(STIMER_DEB)
  set(ext .3.gz)
endif()
set(built_pages)
foreach(page IN LISTS STIMER_MAN_PAGES)
  get_filename_component(page_name ${page} NAME_WE)
  set(out ${man3}/${page_name}${ext})
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DPAGE=${page} -DOUT=${out} "-DOS=stimer ${PROJECT_VERSION}"
            -DGZIP=${STIMER_DEB} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/manpage.cmake
    DEPENDS ${page} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/manpage.cmake
    COMMENT "Manual page ${page_name}(3)")
  list(APPEND built_pages ${out})
endforeach()
add_custom_target(manpages ALL DEPENDS ${built_pages})
install(DIRECTORY ${man3}/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
# The docs keep the layout of the source tree, so that their links hold.
install(FILES README.md CONTRIBUTING.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)
install(FILES docs/BENCHMARKS.md docs/DEBUGGING.md docs/TESTING.md docs/TIMEOUTS.md docs/benchmarks.svg
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT dev)
# A Debian package carries the licence in its copyright file instead.
if(NOT STIMER_DEB)
  install(FILES LICENSES/MIT.txt DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME LICENSE COMPONENT dev)
endif()
# The README's first program whole, to build from the install.
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT dev
  FILES_MATCHING PATTERN "*.c" PATTERN first/CMakeLists.txt PATTERN first/expected.txt)
