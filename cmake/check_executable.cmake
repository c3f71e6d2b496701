cmake_minimum_required(VERSION 3.25)
# Checks a PE executable with objdump: windowed subsystem (2), imports from
# system DLLs only and none of CryptoAPI, and the hardening a LocalSystem
# service should carry: ASLR with 64-bit entropy (DYNAMIC_BASE,
# HIGH_ENTROPY_VA, and relocations so that the image can move), DEP
# (NX_COMPAT), no section both writable and executable; and, for
# reproducible bytes, no link time stamp and neither SOURCE_DIR nor
# BINARY_DIR (when given) inside. Run as:
#   cmake -DOBJDUMP=... -DEXE=... [-DSOURCE_DIR=...] [-DBINARY_DIR=...] -P this file
execute_process(COMMAND ${OBJDUMP} -p -h ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXE}")
endif()
set(faults "")

if(NOT dump MATCHES "Subsystem[ \t]+00000002")
  list(APPEND faults "is not built for the windowed subsystem")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" names "${dump}")
set(allowed kernel32.dll advapi32.dll msvcrt.dll)
foreach(entry IN LISTS names)
  string(REPLACE "DLL Name: " "" dll "${entry}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST allowed AND NOT dll MATCHES "^api-ms-win-crt-")
    list(APPEND faults "imports ${dll}, which is not a system DLL")
  endif()
  message(STATUS "imports ${dll}")
endforeach()

# CryptoAPI loads the cryptographic provider and the DLLs it pulls in at
# every start (libssp seeds its stack guard so).
foreach(function CryptAcquireContextA CryptGenRandom CryptReleaseContext)
  if(dump MATCHES "[ \t]${function}\n")
    list(APPEND faults "imports ${function}")
  endif()
endforeach()

if(NOT dump MATCHES "DllCharacteristics[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "objdump shows no DllCharacteristics for ${EXE}")
endif()
math(EXPR characteristics "0x${CMAKE_MATCH_1}")
foreach(flag HIGH_ENTROPY_VA:0x0020 DYNAMIC_BASE:0x0040 NX_COMPAT:0x0100)
  string(REPLACE ":" ";" flag "${flag}")
  list(GET flag 0 name)
  list(GET flag 1 bit)
  math(EXPR set "${characteristics} & ${bit}")
  if(set EQUAL 0)
    list(APPEND faults "lacks ${name} in its DllCharacteristics")
  else()
    message(STATUS "DllCharacteristics has ${name}")
  endif()
endforeach()

# Relocations: the base relocation directory (entry 5) is filled, a .reloc
# section holds it, and the header does not say they were stripped.
if(NOT dump MATCHES "Entry 5 [0-9a-fA-F]+ ([0-9a-fA-F]+) Base Relocation Directory"
   OR CMAKE_MATCH_1 MATCHES "^0+$")
  list(APPEND faults "has an empty base relocation directory")
endif()
if(NOT dump MATCHES "\n +[0-9]+ \\.reloc ")
  list(APPEND faults "has no .reloc section")
endif()
if(dump MATCHES "Characteristics 0x[0-9a-fA-F]+\n([^\n]+\n)*\trelocations stripped")
  list(APPEND faults "says its relocations were stripped")
endif()

# objdump marks a section CODE when it holds code or may be executed, and
# READONLY unless it may be written.
string(REGEX MATCHALL "\n +[0-9]+ [^ \n]+ [^\n]*\n +[^\n]+" sections "${dump}")
foreach(section IN LISTS sections)
  string(REGEX MATCH "[0-9]+ ([^ \n]+)" ignored "${section}")
  set(name "${CMAKE_MATCH_1}")
  if(section MATCHES "CODE" AND NOT section MATCHES "READONLY")
    list(APPEND faults "has section ${name} both writable and executable")
  endif()
endforeach()
list(LENGTH sections count)
if(count EQUAL 0)
  message(FATAL_ERROR "objdump listed no sections of ${EXE}")
endif()
message(STATUS "${count} sections, none both writable and executable")

if(NOT dump MATCHES "Time/Date[ \t]+Thu Jan  1 00:00:00 1970")
  list(APPEND faults "carries a link time stamp")
endif()
file(STRINGS ${EXE} texts)
foreach(dir IN ITEMS ${SOURCE_DIR} ${BINARY_DIR})
  foreach(text IN LISTS texts)
    string(FIND "${text}" "${dir}" at)
    if(at GREATER -1)
      list(APPEND faults "holds the build path ${dir}")
      break()
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "${EXE}:\n  ${text}")
endif()
