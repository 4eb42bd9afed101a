# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Debian packages, one a component of cmake/install.cmake:
#   libstimer1          libstimer.so.1, with its symbols file
#   libstimer-dev       what a program is built with, and the manual pages
#   libstimer1-checked  the checked build
#   libtovask-standin   the stand-in platform library, which provides
#                       libtovask, so that a real platform's package can
#                       take its place
# Built by `cmake --workflow --preset package` into build/package/.

set(STIMER_DEB_MAINTAINER "stimer maintainers <maintainers@stimer.example.org>" CACHE STRING
    "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "${STIMER_DEB_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev checked standin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(version "${PROJECT_VERSION}-1")
set(about "stimer keeps any number of one-shot timers in a delta list of the caller's
own records: it arms, re-arms and cancels them, tells when the earliest one
fires and hands back fired timers one at a time. It never allocates, keeps
no global state, takes no locks and starts no threads.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libstimer1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libtovask")
# shlibs by hand: CPack would write one for libstimer1-checked as well,
# whose libstimer.so.1 is no library to depend on.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/symbols
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/shlibs
  ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "one-shot software timers in a caller-polled delta list
${about}")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libstimer-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libstimer1 (= ${version}), libtovask")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "one-shot software timers in a caller-polled delta list - development files
${about}

This package holds the header, the static library (fat LTO objects), the
CMake package, the pkg-config files, the manual pages and the examples.")

set(CPACK_DEBIAN_CHECKED_PACKAGE_NAME libstimer1-checked)
set(CPACK_DEBIAN_CHECKED_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CHECKED_PACKAGE_DEPENDS "libstimer1 (= ${version}), libc6 (>= 2.34)")
set(CPACK_COMPONENT_CHECKED_DESCRIPTION
  "one-shot software timers in a caller-polled delta list - checked build
${about}

This package holds a drop-in build of libstimer.so.1 that checks every call
and ends the program with a message naming the caller's mistake. Run a
program on it with LD_LIBRARY_PATH=/usr/lib/<triplet>/stimer-checked.")

set(CPACK_DEBIAN_STANDIN_PACKAGE_NAME libtovask-standin)
set(CPACK_DEBIAN_STANDIN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_STANDIN_PACKAGE_PROVIDES libtovask)
set(CPACK_DEBIAN_STANDIN_PACKAGE_CONFLICTS libtovask)
set(CPACK_DEBIAN_STANDIN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_STANDIN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_COMPONENT_STANDIN_DESCRIPTION
  "stand-in for the platform tick counter used by stimer
libtovask.so and tovask.h with TickGetCount(), a millisecond tick count
from CLOCK_MONOTONIC, for machines without the platform library. A
platform's own libtovask package replaces it.")

# Each package carries its copyright file and changelog.
if(STIMER_DEB)
  # The newest entry takes its version from stimer.h.
  configure_file(cmake/debian/changelog.in changelog.Debian @ONLY)
  set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
  execute_process(COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
    OUTPUT_FILE ${changelog} COMMAND_ERROR_IS_FATAL ANY)
  foreach(component runtime dev checked standin)
    string(TOUPPER ${component} upper)
    install(FILES cmake/debian/copyright ${changelog}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
      COMPONENT ${component})
  endforeach()
  # lintian, then the packages installed into a scratch root and built on.
  enable_testing()
  add_test(NAME packages
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tests/packages.sh ${CMAKE_CURRENT_BINARY_DIR}
            ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/packages-work ${CMAKE_C_COMPILER}
            $<IF:$<STREQUAL:${CMAKE_CXX_COMPILER_ID},GNU>,yes,no>)
  install(FILES cmake/debian/libstimer1.lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
    RENAME libstimer1 COMPONENT runtime)
endif()

include(CPack)
