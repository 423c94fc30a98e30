# The public headers: talven.h, the C interface talven_c.h, and every header of the source tree
# that they include, directly or through another public header, for both systems (a header that switches between a POSIX and a
# Windows variant names both). Internal headers (the emulation's insides, the socket seam, the
# library's module entry) are not among them.
#
# talven_public_headers(<out-var>) sets <out-var> to their paths relative to the source tree.
include_guard(GLOBAL)

function(talven_public_headers out)
  set(pending include/talven.h include/talven_c.h)
  set(found)
  while(pending)
    list(POP_FRONT pending header)
    if(header IN_LIST found)
      continue()
    endif()
    list(APPEND found ${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" included "${line}")
      if(EXISTS ${PROJECT_SOURCE_DIR}/${included})
        list(APPEND pending ${included})
      endif()
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
