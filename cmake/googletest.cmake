# GoogleTest for a build on Windows itself, which has no Debian
# /usr/src/googletest: release 1.16.0, downloaded at configure time and
# checked against the SHA-256 of that archive as the Bazel Central Registry
# records it (github.com/bazelbuild/bazel-central-registry,
# modules/googletest/1.16.0.bcr.1/source.json, its "integrity" field in
# base64). Offline, FETCHCONTENT_SOURCE_DIR_GOOGLETEST names a copy of the
# same sources instead. Its targets give their include directories as
# SYSTEM themselves (FetchContent_Declare's SYSTEM reaches ExternalProject
# as an argument of the option before it in CMake 3.25).
include(FetchContent)
FetchContent_Declare(googletest
  URL https://github.com/google/googletest/releases/download/v1.16.0/googletest-1.16.0.tar.gz
  URL_HASH SHA256=78c676fc63881529bf97bf9d45948d905a66833fbfa5318ea2cd7478cb98f399)
FetchContent_MakeAvailable(googletest)
