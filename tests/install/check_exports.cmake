# The library exports its C functions under their plain names and the classes' members, and no
# test hook: the socket seam and the test clock belong to the test programs, not the library.
#   cmake -DDLL=... -DOBJDUMP=... -P check_exports.cmake      (TALVEN.dll: its export table)
#   cmake -DLIBRARY=... -DNM=... -P check_exports.cmake       (libtalven.so: its dynamic symbols)
cmake_minimum_required(VERSION 3.25)
if(DLL)
  execute_process(COMMAND ${OBJDUMP} -p ${DLL} RESULT_VARIABLE rc OUTPUT_VARIABLE table)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_exports: ${OBJDUMP} -p ${DLL} failed")
  endif()
  # Only the export table's name entries: "[ n] +base[ m] name" lines after "[Ordinal/Name Pointer]".
  string(FIND "${table}" "[Ordinal/Name Pointer] Table" at)
  if(at LESS 0)
    message(FATAL_ERROR "check_exports: ${DLL} has no export names")
  endif()
  string(SUBSTRING "${table}" ${at} -1 exports)
  set(file ${DLL})
  set(before "\\] ")
else()
  # Defined dynamic symbols, one "address type name" line each.
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} RESULT_VARIABLE rc OUTPUT_VARIABLE exports)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_exports: ${NM} -D ${LIBRARY} failed")
  endif()
  set(file ${LIBRARY})
  set(before " T ")
endif()
# The C functions: the start-up, error-text and log functions, and the whole of talven_c.h.
foreach(name QmSocketInit QmSocketTerm QmGetWSAErrorString QmSocketLog QmGetWSAErrorText
             QmNotifyWndCreate QmNotifyWndDestroy QmtpCreate QmtpConnect QmtpListen QmtpAccept
             QmtpSend QmtpSendPure QmtpRead QmtpFreeData QmtpGetError QmtpGetSendQueueBytes
             QmtpSetSendQueueLimit QmtpGetPeer QmtpGetLocal QmtpClose QmtpDestroy)
  if(NOT exports MATCHES "${before}${name}\n")
    message(FATAL_ERROR "check_exports: ${name} is not exported from ${file} under its plain name")
  endif()
endforeach()
if(NOT DLL)
  # The emulation's Win32 functions that a C program calls have C linkage, as on Windows.
  foreach(name RegisterClassA CreateWindowExA DestroyWindow DefWindowProcA GetMessageA PeekMessageA
               TranslateMessage DispatchMessageA PostMessageA SendMessageA PostQuitMessage SetTimer
               KillTimer WSAGetLastError)
    if(NOT exports MATCHES "${before}${name}\n")
      message(FATAL_ERROR "check_exports: ${name} is not exported from ${file} under its plain name")
    endif()
  endforeach()
endif()
# A constructor of each exported class (mangled: _ZN<len><name>C1/C2).
foreach(class 14CQmAsyncSocket 18CQmSocketNotifyWnd 11CQmtpSocket 11CPacketData 7CString 4CWnd)
  if(NOT exports MATCHES "_ZN${class}C[12]E")
    message(FATAL_ERROR "check_exports: the class ${class} is not exported from ${file}")
  endif()
endforeach()
# No name of the socket seam (winsock::seam, ...Seam...) or of another test hook (...Testing,
# ...ForTest...), mangled or plain.
string(REGEX MATCHALL "[^\n ]*([Ss]eam|Testing|ForTest)[^\n ]*" hooks "${exports}")
if(hooks)
  list(JOIN hooks "\n  " hooks)
  message(FATAL_ERROR "check_exports: ${file} exports test hooks:\n  ${hooks}")
endif()
message(STATUS "check_exports: ${file} exports the C functions and the classes, and no test hook")
