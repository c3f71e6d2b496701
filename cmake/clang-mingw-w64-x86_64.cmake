# Cross-compiling for 64-bit Windows with clang, against Debian's MinGW-w64
# headers and libraries (the posix-threads libstdc++, as with GCC), linked
# by lld.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(MINGW_GCC_DIR /usr/lib/gcc/${MINGW_PREFIX}/12-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${MINGW_PREFIX}-objdump)

# clang finds the MinGW-w64 headers and libraries in /usr/${MINGW_PREFIX}
# but not the libstdc++ of the posix-threads GCC: name its folders, and the
# folder of libgcc and libstdc++ for the link.
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${MINGW_GCC_DIR}/include/c++ -isystem ${MINGW_GCC_DIR}/include/c++/${MINGW_PREFIX} -isystem ${MINGW_GCC_DIR}/include/c++/backward")
# -pthread links winpthreads, which the posix-threads libstdc++ calls.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${MINGW_GCC_DIR}")

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the Windows test programs under Wine.
find_program(WINE_PROGRAM NAMES wine wine64)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
