# The matcher's module and core tests for 32-bit Windows Python 2.7.
set(MATCHER_PROCESSOR i686)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-matcher.cmake")
