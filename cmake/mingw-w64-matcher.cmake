# Cross build of the matcher's module for Windows Python 2.7, and its core
# tests, with Debian's mingw-w64, for the processor MATCHER_PROCESSOR
# (x86_64 or i686) that the toolchain file including this one names.  The
# compilers of the posix thread model: GoogleTest needs std::mutex, which the
# win32 model lacks; the thread library is linked in statically like the
# other runtimes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MATCHER_PROCESSOR})
set(CMAKE_C_COMPILER ${MATCHER_PROCESSOR}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${MATCHER_PROCESSOR}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${MATCHER_PROCESSOR}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MATCHER_PROCESSOR}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CORVAMIRE_WINDOWS_MATCHER ON)
