# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 the stimer authors
# Builds one manual page for installation: its .Os names this release, it
# is gzipped for Debian (GZIP=ON), and each further name in its NAME
# section is a symbolic link to it (mandoc finds .so links fragile).
#   cmake -DPAGE=<docs/man/x.3> -DOUT=<man3/x.3[.gz]> -DOS="stimer 1.3.0" [-DGZIP=ON] -P manpage.cmake
file(READ ${PAGE} text)
string(REGEX REPLACE "\n\\.Os\n" "\n.Os ${OS}\n" text "${text}")
get_filename_component(dir ${OUT} DIRECTORY)
get_filename_component(page ${OUT} NAME)
string(REGEX REPLACE "\\.3(\\.gz)?$" "" page_name ${page})
string(REGEX REPLACE "^[^.]+" "" ext ${page})
if(GZIP)
  file(WRITE ${OUT}.tmp "${text}")
  execute_process(COMMAND gzip -9n -c ${OUT}.tmp OUTPUT_FILE ${OUT} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${OUT}.tmp)
else()
  file(WRITE ${OUT} "${text}")
endif()
# The links of names the page no longer has go with the old page.
file(GLOB links LIST_DIRECTORIES false ${dir}/*${ext})
foreach(link IN LISTS links)
  if(IS_SYMLINK ${link})
    file(READ_SYMLINK ${link} target)
    if(target STREQUAL page)
      file(REMOVE ${link})
    endif()
  endif()
endforeach()
string(REGEX MATCHALL "\n\\.Nm [A-Za-z_]+" names "${text}")
list(TRANSFORM names REPLACE "\n\\.Nm " "")
list(REMOVE_DUPLICATES names)
list(REMOVE_ITEM names ${page_name})
foreach(name IN LISTS names)
  file(CREATE_LINK ${page} ${dir}/${name}${ext} SYMBOLIC)
endforeach()
