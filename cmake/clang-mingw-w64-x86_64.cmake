# Cross-compiling for 64-bit Windows with clang, against Debian's MinGW-w64
# headers and libraries (the posix-threads libstdc++, as with GCC), linked
# by lld.
set(MINGW_PREFIX x86_64-w64-mingw32)
set(MINGW_GCC_DIR /usr/lib/gcc/${MINGW_PREFIX}/12-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_PREFIX})

# clang finds the MinGW-w64 headers and libraries in /usr/${MINGW_PREFIX}
# but not the libstdc++ of the posix-threads GCC: name its folders, and the
# folder of libgcc and libstdc++ for the link.
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${MINGW_GCC_DIR}/include/c++ -isystem ${MINGW_GCC_DIR}/include/c++/${MINGW_PREFIX} -isystem ${MINGW_GCC_DIR}/include/c++/backward")
# -pthread links winpthreads, which the posix-threads libstdc++ calls.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${MINGW_GCC_DIR}")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
