cmake_minimum_required(VERSION 3.25)
# Checks a PE executable with objdump: windowed subsystem (2), imports from
# system DLLs only and none of CryptoAPI, and the hardening a LocalSystem
# service should carry: ASLR with 64-bit entropy (DYNAMIC_BASE,
# HIGH_ENTROPY_VA, and relocations so that the image can move), DEP
# (NX_COMPAT), no section both writable and executable; and, for
# reproducible bytes, no link time stamp (unless TIME_STAMP is ALLOWED) and
# neither SOURCE_DIR nor BINARY_DIR (when given) inside. OBJDUMP is GNU
# objdump or llvm-objdump: their -p reports are read alike; the section
# rights come from the section table itself. Run as:
#   cmake -DOBJDUMP=... -DEXE=... [-DSOURCE_DIR=...] [-DBINARY_DIR=...]
#         [-DTIME_STAMP=ALLOWED] -P this file
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
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
if(dump MATCHES "Characteristics 0x[0-9a-fA-F]+\n([^\n]+\n)*\trelocations stripped")
  list(APPEND faults "says its relocations were stripped")
endif()

# The section table: after the PE header (whose offset is at 0x3C), its
# 20-byte file header (section count at 6, optional header size at 20) and
# the optional header; 40 bytes a section, the name first and the rights at
# 36 (IMAGE_SCN_MEM_EXECUTE 0x20000000, IMAGE_SCN_MEM_WRITE 0x80000000).
function(read_number offset size out)  # little-endian, unsigned
  file(READ ${EXE} hex OFFSET ${offset} LIMIT ${size} HEX)
  string(REGEX MATCHALL ".." bytes "${hex}")
  list(REVERSE bytes)
  string(JOIN "" hex ${bytes})
  math(EXPR number "0x${hex}")
  set(${out} ${number} PARENT_SCOPE)
endfunction()
read_number(60 4 header)
math(EXPR at "${header} + 6")
read_number(${at} 2 count)
math(EXPR at "${header} + 20")
read_number(${at} 2 optional)
if(count EQUAL 0)
  message(FATAL_ERROR "${EXE} has no sections")
endif()
math(EXPR last "${count} - 1")
set(names "")
foreach(index RANGE ${last})
  math(EXPR at "${header} + 24 + ${optional} + 40 * ${index}")
  file(READ ${EXE} hex OFFSET ${at} LIMIT 8 HEX)
  string(REGEX REPLACE "(00)+$" "" hex "${hex}")
  string(REGEX MATCHALL ".." bytes "${hex}")
  set(name "")
  foreach(byte IN LISTS bytes)
    math(EXPR byte "0x${byte}")
    string(ASCII ${byte} character)
    string(APPEND name "${character}")
  endforeach()
  list(APPEND names "${name}")
  math(EXPR at "${at} + 36")
  read_number(${at} 4 rights)
  math(EXPR written_and_run "(${rights} >> 29) & 5")
  if(written_and_run EQUAL 5)
    list(APPEND faults "has section ${name} both writable and executable")
  endif()
endforeach()
message(STATUS "${count} sections: ${names}")
if(NOT ".reloc" IN_LIST names)
  list(APPEND faults "has no .reloc section")
endif()

if(TIME_STAMP STREQUAL "ALLOWED")
  message(STATUS "the link time stamp is not checked")
elseif(NOT dump MATCHES "Time/Date[ \t]+Thu Jan  1 00:00:00 1970")
  list(APPEND faults "carries a link time stamp")
endif()
# Paths as the build wrote them or with backslashes, in any case (Windows
# paths are case-blind). Only 8-bit text is searched, not UTF-16.
file(STRINGS ${EXE} texts)
string(TOLOWER "${texts}" texts)
foreach(dir IN ITEMS ${SOURCE_DIR} ${BINARY_DIR})
  string(TOLOWER "${dir}" lower)
  string(REPLACE "/" "\\" backslashed "${lower}")
  foreach(text IN LISTS texts)
    string(FIND "${text}" "${lower}" at)
    string(FIND "${text}" "${backslashed}" at_backslashed)
    if(at GREATER -1 OR at_backslashed GREATER -1)
      list(APPEND faults "holds the build path ${dir}")
      break()
    endif()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "${EXE}:\n  ${text}")
endif()
