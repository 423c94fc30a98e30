# Shared part of the mingw-w64 toolchain files: set TALVEN_MINGW_TRIPLE first.
#
# The -posix compilers are used: their thread model gives std::thread and std::mutex, which the
# library's platform layer and the tests rely on.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TALVEN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVEN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVEN_MINGW_TRIPLE}-windres)

# Headers and libraries come from the target's root only; programs (windres, the tools the
# build runs) from the host. Packages may also come from a prefix given by the user, such as an
# installed TALVEN that a consumer project is built against.
set(CMAKE_FIND_ROOT_PATH /usr/${TALVEN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
