# Running the programs of a Windows build on this Linux machine: through Wine's loader, with a
# private prefix inside the build folder, under one Xvfb display for the whole test run (without
# a display, window creation fails under Wine).
#
# talven_emulated_test(name target [ARGS ...] [LABELS ...] [TIMEOUT s] [WORKING_DIRECTORY dir])
# adds a test that runs `target` whole under Wine, inside the run's Wine session. Without a loader
# for the target (32-bit Wine, wine32:i386, is not installed) it adds nothing: such a build is
# compiled, not run.
include_guard(GLOBAL)

set(TALVEN_WINE_DIR ${PROJECT_BINARY_DIR}/wine)
set(TALVEN_WINE_PREFIX ${TALVEN_WINE_DIR}/prefix)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TALVEN_WINE_BITS 64)
  # Debian keeps the 64-bit loader off PATH; `wine` itself would look for 32-bit Wine first.
  find_program(TALVEN_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine)
  find_program(TALVEN_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine /usr/lib64/wine)
else()
  set(TALVEN_WINE_BITS 32)
  # The 32-bit loader only (Debian's wine32:i386 puts it there): /usr/bin/wine is a wrapper
  # that falls back to the 64-bit loader, which cannot run a 32-bit suite in a 64-bit prefix.
  find_program(TALVEN_WINE_LOADER NAMES wine PATHS /usr/lib/wine /usr/lib/i386-linux-gnu/wine
               NO_DEFAULT_PATH)
  find_program(TALVEN_WINESERVER NAMES wineserver32 wineserver wineserver64
               PATHS /usr/lib/wine /usr/lib/i386-linux-gnu/wine)
endif()
find_program(TALVEN_XVFB NAMES Xvfb)

# The toolchain's runtime DLLs, as Wine's search path (Windows form of the host folders).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE _talven_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libwinpthread-1.dll
                OUTPUT_VARIABLE _talven_winpthread OUTPUT_STRIP_TRAILING_WHITESPACE)
set(TALVEN_RUNTIME_DLL_DIRS)
foreach(dll ${_talven_libstdcxx} ${_talven_winpthread})
  if(IS_ABSOLUTE "${dll}" AND EXISTS "${dll}")
    get_filename_component(_dir "${dll}" DIRECTORY)
    list(APPEND TALVEN_RUNTIME_DLL_DIRS "${_dir}")
  endif()
endforeach()
list(REMOVE_DUPLICATES TALVEN_RUNTIME_DLL_DIRS)
set(TALVEN_WINE_PATH "")
foreach(_dir ${TALVEN_RUNTIME_DLL_DIRS})
  string(REPLACE "/" "\\" _windows "Z:${_dir}")
  string(APPEND TALVEN_WINE_PATH "${_windows};")
endforeach()

if(TALVEN_WINE_LOADER AND TALVEN_WINESERVER)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine/run.sh.in ${TALVEN_WINE_DIR}/run
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine/session.sh.in ${TALVEN_WINE_DIR}/session
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE @ONLY)
  set(TALVEN_WINE_RUN ${TALVEN_WINE_DIR}/run)
  # Targets made from here on run through the loader (CTest, custom commands).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TALVEN_WINE_RUN})
else()
  set(TALVEN_WINE_RUN "")
endif()

# The session's start and stop, once for the whole project (called from its top directory).
function(talven_wine_session_tests)
  if(NOT TALVEN_WINE_RUN)
    return()
  endif()
  if(NOT TALVEN_XVFB)
    message(FATAL_ERROR "Xvfb is needed to run the Windows suite under Wine (Debian: xvfb)")
  endif()
  add_test(NAME talven_wine_session_start COMMAND ${TALVEN_WINE_DIR}/session start)
  add_test(NAME talven_wine_session_stop COMMAND ${TALVEN_WINE_DIR}/session stop)
  set_tests_properties(talven_wine_session_start PROPERTIES FIXTURES_SETUP talven_wine TIMEOUT 180)
  set_tests_properties(talven_wine_session_stop PROPERTIES FIXTURES_CLEANUP talven_wine TIMEOUT 60)
endfunction()

function(talven_emulated_test name target)
  cmake_parse_arguments(arg "" "TIMEOUT;WORKING_DIRECTORY" "LABELS;ARGS" ${ARGN})
  if(NOT TALVEN_WINE_RUN)
    return()
  endif()
  if(arg_WORKING_DIRECTORY)
    add_test(NAME ${name} COMMAND ${target} ${arg_ARGS} WORKING_DIRECTORY ${arg_WORKING_DIRECTORY})
  else()
    add_test(NAME ${name} COMMAND ${target} ${arg_ARGS})
  endif()
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED talven_wine)
  if(arg_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${arg_LABELS}")
  endif()
  if(arg_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  endif()
endfunction()
