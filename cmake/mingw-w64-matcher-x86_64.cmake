# The matcher's module and core tests for 64-bit Windows Python 2.7.
set(MATCHER_PROCESSOR x86_64)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-matcher.cmake")
