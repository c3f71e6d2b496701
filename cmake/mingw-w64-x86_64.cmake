# Cross-compiling for 64-bit Windows with MinGW-w64 (Debian's posix-threads
# variant, so that std::mutex and std::thread work).
set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
