# Installs a build into a fresh prefix and checks the tree: the library and the names it exports,
# the public headers and no internal one, the CMake package (a C++ and a C consumer project find
# it, build and run), and on POSIX the pkg-config file (the same consumers compiled with its
# flags build and run).
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DPREFIX=... [-DTOOLCHAIN_FILE=...] [-DRUNNER=...]
#         [-DWINDOWS=ON] [-DCONSUMER_FLAGS=...] [-DNM=...] [-DOBJDUMP=...] -P check_install.cmake
# RUNNER runs a program of the target system (the Wine runner for a Windows build);
# CONSUMER_FLAGS are compiler and linker flags for the consumers (a sanitized build's runtime).
cmake_minimum_required(VERSION 3.25)

function(fail)
  message(FATAL_ERROR "check_install: ${ARGN}")
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    fail("`${command}` failed (${rc}):\n${out}\n${err}")
  endif()
endfunction()

file(REMOVE_RECURSE ${PREFIX})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})

# The library.
if(WINDOWS)
  foreach(file bin/TALVEN.dll lib/libtalven.dll.a lib/TALVEN.def lib/cmake/talven/talvenConfig.cmake)
    if(NOT EXISTS ${PREFIX}/${file})
      fail("${file} is not installed")
    endif()
  endforeach()
else()
  file(GLOB_RECURSE libraries ${PREFIX}/lib*/libtalven.so*)
  file(GLOB_RECURSE configs ${PREFIX}/lib*/talvenConfig.cmake)
  file(GLOB_RECURSE pcs ${PREFIX}/lib*/talven.pc)
  if(NOT libraries OR NOT configs OR NOT pcs)
    fail("libtalven.so, talvenConfig.cmake or talven.pc is not installed")
  endif()
endif()

# The installed library's exports: the C functions under their plain names, and the classes.
if(WINDOWS AND OBJDUMP)
  run(${CMAKE_COMMAND} -DDLL=${PREFIX}/bin/TALVEN.dll -DOBJDUMP=${OBJDUMP}
      -P ${SOURCE_DIR}/tests/install/check_exports.cmake)
elseif(NOT WINDOWS AND NM)
  list(GET libraries 0 library)
  run(${CMAKE_COMMAND} -DLIBRARY=${library} -DNM=${NM} -P ${SOURCE_DIR}/tests/install/check_exports.cmake)
endif()

# On Windows, one DLL to ship: TALVEN.dll and talvencat.exe import system DLLs only (the
# compiler's runtime is linked in), and the tree carries no runtime DLL.
if(WINDOWS AND OBJDUMP)
  # talvencat.exe imports the library itself, shipped beside it.
  set(system_dlls kernel32.dll user32.dll ws2_32.dll wsock32.dll msvcrt.dll talven.dll)
  foreach(file bin/TALVEN.dll bin/talvencat.exe)
    if(NOT EXISTS ${PREFIX}/${file})
      continue()  # talvencat is installed only with the examples
    endif()
    execute_process(COMMAND ${OBJDUMP} -p ${PREFIX}/${file} RESULT_VARIABLE rc OUTPUT_VARIABLE table)
    if(NOT rc EQUAL 0)
      fail("${OBJDUMP} -p ${file} failed")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${table}")
    if(NOT imports)
      fail("${file} has no import table")
    endif()
    foreach(import ${imports})
      string(REGEX REPLACE "^DLL Name: *" "" dll "${import}")
      string(STRIP "${dll}" dll)
      string(TOLOWER "${dll}" dll)
      if(NOT dll IN_LIST system_dlls)
        fail("${file} imports ${dll}, which is not a system DLL")
      endif()
    endforeach()
  endforeach()
  file(GLOB runtime_dlls ${PREFIX}/bin/libstdc++*.dll ${PREFIX}/bin/libgcc*.dll
       ${PREFIX}/bin/libwinpthread*.dll)
  if(runtime_dlls)
    fail("the tree carries the compiler's runtime: ${runtime_dlls}")
  endif()
endif()

# Exactly the public headers: every header that talven.h reaches, and no other.
set(PROJECT_SOURCE_DIR ${SOURCE_DIR})
include(${SOURCE_DIR}/cmake/TalvenPublicHeaders.cmake)
talven_public_headers(public)
file(GLOB_RECURSE installed RELATIVE ${PREFIX}/include/talven ${PREFIX}/include/talven/*)
list(TRANSFORM public REPLACE "^include/" "")
foreach(header ${public})
  if(NOT header IN_LIST installed)
    fail("the public header ${header} is not installed")
  endif()
endforeach()
foreach(header ${installed})
  if(NOT header IN_LIST public)
    fail("${header} is installed but is not a public header")
  endif()
endforeach()
foreach(internal platform/user32/window_internal.h platform/winsock/seam_hooks.h
                 platform/winsock/winsock_seam.h platform/mfc/CTimeClock.h socket/DllMain.h
                 socket/QmModule.h)
  if(EXISTS ${PREFIX}/include/talven/${internal})
    fail("the internal header ${internal} is installed")
  endif()
endforeach()

# Each consumer finds the package, builds and runs: C++ (talven.h) and C (talven_c.h).
foreach(kind consumer consumer_c)
  set(consumer ${PREFIX}-${kind})
  file(REMOVE_RECURSE ${consumer})
  set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/${kind} -B ${consumer}
      -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_BUILD_TYPE=Release
      "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}" "-DCMAKE_C_FLAGS=${CONSUMER_FLAGS}"
      "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}")
  if(TOOLCHAIN_FILE)
    list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
  endif()
  run(${configure})
  run(${CMAKE_COMMAND} --build ${consumer})
  if(kind STREQUAL "consumer_c")
    set(program talven_c_consumer)
  else()
    set(program talven_consumer)
  endif()
  if(WINDOWS)
    # The program finds TALVEN.dll and the runtime DLLs beside it, as installed.
    file(COPY ${consumer}/${program}.exe DESTINATION ${PREFIX}/bin)
    if(RUNNER)
      run(${RUNNER} ${PREFIX}/bin/${program}.exe)
    endif()
  else()
    list(GET libraries 0 library)
    get_filename_component(libdir "${library}" DIRECTORY)
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${consumer}/${program})
  endif()
endforeach()

if(NOT WINDOWS)
  # pkg-config gives what a plain compiler command needs, for C++ and for C89.
  find_program(PKG_CONFIG NAMES pkg-config pkgconf)
  if(PKG_CONFIG)
    list(GET pcs 0 pc)
    get_filename_component(pcdir "${pc}" DIRECTORY)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir}
                            ${PKG_CONFIG} --cflags --libs talven
                    RESULT_VARIABLE rc OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      fail("pkg-config does not know talven")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
    set(consumer ${PREFIX}-consumer)
    run(c++ -std=c++17 ${consumer_flags} ${SOURCE_DIR}/tests/install/consumer/main.cpp ${flags}
        -o ${consumer}/consumer_pc)
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${consumer}/consumer_pc)
    run(cc -std=c89 -pedantic -Wall -Wextra -Werror ${consumer_flags}
        ${SOURCE_DIR}/tests/install/consumer_c/main.c ${flags} -o ${consumer}/c_consumer_pc)
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${consumer}/c_consumer_pc)
  endif()
endif()
message(STATUS "check_install: ${PREFIX} holds the library, its public headers only, a usable package")
