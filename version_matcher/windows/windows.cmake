# The module for Windows Python 2.7 and its core tests, cross-built with
# mingw-w64; and, in the native tree, the tests that run what the cross trees
# left behind (under Wine) and look into the .pyd.
#
# Each cross tree (64-bit and 32-bit) builds into
# ${CORVAMIRE_OUTPUT_ROOT}/windows/win64 or win32:
#   corvamire_version_matcher.pyd     the module
#   version_matcher_core_tests.exe    the native core's GoogleTest program
#   match_report.exe                  one scan's result as text, for the
#                                     cross-check against the Linux build
# Expects VERSION_MATCHER_SCAN_SOURCES and VERSION_MATCHER_SOURCES.

set(MATCHER_WINDOWS_OUTPUT "${CORVAMIRE_OUTPUT_ROOT}/windows")
set(matcher_tests_dir "${CMAKE_CURRENT_SOURCE_DIR}/tests")

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # Native tree: match_report for Linux, and the tests.
  add_executable(match_report tests/windows/match_report.cpp tests/fail_record.cpp
    ${VERSION_MATCHER_SCAN_SOURCES})
  target_include_directories(match_report PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${matcher_tests_dir})
  target_link_libraries(match_report PRIVATE ZLIB::ZLIB OpenSSL::Crypto)

  find_program(MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump)
  find_program(WINE_EXECUTABLE NAMES wine)
  set(matcher_windows_env
    "MATCHER_WINDOWS_OUTPUT=${MATCHER_WINDOWS_OUTPUT}"
    "MATCH_REPORT=$<TARGET_FILE:match_report>"
    "MINGW_OBJDUMP=${MINGW_OBJDUMP}"
    "WINE=${WINE_EXECUTABLE}")
  # Not labelled sanitize: they run or inspect cross-built programs.
  foreach(test_module test_pyd test_wine_core)
    add_test(NAME version_matcher.windows.${test_module}
      COMMAND "${PYTHON3_EXECUTABLE}" -m unittest -v ${test_module}
      WORKING_DIRECTORY "${matcher_tests_dir}/windows")
    set_tests_properties(version_matcher.windows.${test_module} PROPERTIES
      ENVIRONMENT "${matcher_windows_env};PYTHONDONTWRITEBYTECODE=1")
  endforeach()
  set_tests_properties(version_matcher.windows.test_wine_core PROPERTIES TIMEOUT 900)
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(matcher_arch win64)
else()
  set(matcher_arch win32)
endif()
set(matcher_output "${MATCHER_WINDOWS_OUTPUT}/${matcher_arch}")

# Python 2.7's headers are the same on every platform but pyconfig.h: the
# machine's, less its own pyconfig.h, beside ours.  (Python.h includes
# "pyconfig.h" from its own directory first, so ours must replace it there.)
set(python27_include "${CMAKE_CURRENT_BINARY_DIR}/python27/include")
file(GLOB python27_headers "${PYTHON2_INCLUDE_DIR}/*.h")
list(FILTER python27_headers EXCLUDE REGEX "/pyconfig\\.h$")
if(NOT python27_headers)
  message(FATAL_ERROR "no Python 2.7 headers in '${PYTHON2_INCLUDE_DIR}'")
endif()
foreach(header ${python27_headers} "${CMAKE_CURRENT_SOURCE_DIR}/windows/python27/pyconfig.h")
  get_filename_component(name "${header}" NAME)
  configure_file("${header}" "${python27_include}/${name}" COPYONLY)
endforeach()

# The import library of python27.dll, from the list of what the module calls.
string(REGEX REPLACE "g\\+\\+[^/]*$" "dlltool" mingw_dlltool "${CMAKE_CXX_COMPILER}")
find_program(MINGW_DLLTOOL NAMES "${mingw_dlltool}" REQUIRED)
set(python27_api "${CMAKE_CURRENT_SOURCE_DIR}/windows/python27_api.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${python27_api}")
file(STRINGS "${python27_api}" api_lines REGEX "^[A-Za-z_]")
set(python27_def "LIBRARY python27.dll\nEXPORTS\n")
foreach(line ${api_lines})
  if(line MATCHES "\\[(win32|win64)\\]" AND NOT line MATCHES "\\[${matcher_arch}\\]")
    continue()
  endif()
  string(REGEX REPLACE " *\\[win(32|64)\\]" "" line "${line}")
  string(APPEND python27_def "  ${line}\n")
endforeach()
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/python27.def" "${python27_def}")
set(python27_lib "${CMAKE_CURRENT_BINARY_DIR}/libpython27.a")
add_custom_command(OUTPUT "${python27_lib}"
  COMMAND "${MINGW_DLLTOOL}" -d "${CMAKE_CURRENT_BINARY_DIR}/python27.def" -l "${python27_lib}"
  DEPENDS "${python27_api}"
  COMMENT "import library of python27.dll")
add_custom_target(python27_import_library DEPENDS "${python27_lib}")

# The interpreter's C runtime is msvcr90.dll: the descriptor the host passes
# is one of its descriptors, and only its own _read can read it.  Everything
# here links that runtime in place of msvcrt.dll (the compiler's specs name
# msvcrt; a copy of them names msvcr90), and its headers are told so.
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -dumpspecs
  OUTPUT_VARIABLE mingw_specs RESULT_VARIABLE specs_rc)
if(NOT specs_rc EQUAL 0 OR NOT mingw_specs MATCHES "-lmsvcrt")
  message(FATAL_ERROR "cannot make msvcr90 specs from ${CMAKE_CXX_COMPILER} -dumpspecs")
endif()
string(REPLACE "-lmsvcrt" "-lmsvcr90" mingw_specs "${mingw_specs}")
set(msvcr90_specs "${CMAKE_CURRENT_BINARY_DIR}/msvcr90.specs")
file(WRITE "${msvcr90_specs}" "${mingw_specs}")
add_compile_definitions(__MSVCRT_VERSION__=0x0900)
# The GCC and C++ runtimes are linked in: only system DLLs, the C runtime and
# python27.dll are imported, as on a clean machine beside the interpreter.
add_link_options("-specs=${msvcr90_specs}" -static -static-libgcc -static-libstdc++)
if(matcher_arch STREQUAL win64)
  # GCC does not align Win64 stack slots of 32- and 64-byte vectors (its bug
  # 54412): a spill of an AVX2 or AVX-512 register by an aligned move would
  # fault.  The assembler writes every aligned vector move as an unaligned
  # one, which costs the same on aligned data.
  add_compile_options(-Wa,-muse-unaligned-vector-move)
endif()

# Only the static zlib: the module must not need a zlib1.dll beside it.
find_library(MINGW_STATIC_ZLIB NAMES libz.a REQUIRED)

set(matcher_windows_scan_sources ${VERSION_MATCHER_SCAN_SOURCES})
list(REMOVE_ITEM matcher_windows_scan_sources md5_openssl.cpp)
list(APPEND matcher_windows_scan_sources windows/md5_bcrypt.cpp)
set(matcher_windows_sources ${VERSION_MATCHER_SOURCES})
list(REMOVE_ITEM matcher_windows_sources md5_openssl.cpp)
list(APPEND matcher_windows_sources windows/md5_bcrypt.cpp)

file(STRINGS "${PROJECT_SOURCE_DIR}/corvamire/version.py" version_line REGEX "^__version__ = ")
string(REGEX REPLACE "^__version__ = \"([^\"]+)\".*" "\\1" CORVAMIRE_VERSION "${version_line}")

add_library(corvamire_version_matcher MODULE ${matcher_windows_sources})
add_dependencies(corvamire_version_matcher python27_import_library)
target_include_directories(corvamire_version_matcher PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_include_directories(corvamire_version_matcher SYSTEM PRIVATE "${python27_include}")
target_compile_definitions(corvamire_version_matcher PRIVATE CORVAMIRE_VERSION="${CORVAMIRE_VERSION}")
target_link_libraries(corvamire_version_matcher PRIVATE "${python27_lib}" "${MINGW_STATIC_ZLIB}" bcrypt)
set_target_properties(corvamire_version_matcher PROPERTIES
  OUTPUT_NAME corvamire_version_matcher
  PREFIX ""
  SUFFIX ".pyd"
  LIBRARY_OUTPUT_DIRECTORY "${matcher_output}"
  RUNTIME_OUTPUT_DIRECTORY "${matcher_output}")

# GoogleTest from the machine's sources, built by the same compiler.  A
# machine without them (a Windows host, say) builds the module alone.
set(MATCHER_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources, for the core tests")
if(NOT EXISTS "${MATCHER_GOOGLETEST_DIR}/CMakeLists.txt")
  message(STATUS "No GoogleTest sources in '${MATCHER_GOOGLETEST_DIR}': the module only")
  return()
endif()
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory("${MATCHER_GOOGLETEST_DIR}" "${CMAKE_CURRENT_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)

# The core's tests: the Linux unit tests that build here as they are, and
# the Windows-only ones.  scan_test.cpp's reference MD5 comes from a stand-in
# for OpenSSL's EVP over CNG (tests/windows/shim).
add_executable(version_matcher_core_tests
  tests/batch_kernels_test.cpp
  tests/rolling_sum_test.cpp
  tests/lookup_index_test.cpp
  tests/md5_lanes_test.cpp
  tests/scan_test.cpp
  tests/fail_record.cpp
  tests/windows/read_window_test.cpp
  ${matcher_windows_scan_sources})
target_include_directories(version_matcher_core_tests PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR} ${matcher_tests_dir} ${matcher_tests_dir}/windows/shim)
target_link_libraries(version_matcher_core_tests PRIVATE gtest_main "${MINGW_STATIC_ZLIB}" bcrypt)

add_executable(match_report tests/windows/match_report.cpp tests/fail_record.cpp
  ${matcher_windows_scan_sources})
target_include_directories(match_report PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${matcher_tests_dir})
target_link_libraries(match_report PRIVATE "${MINGW_STATIC_ZLIB}" bcrypt)

set_target_properties(version_matcher_core_tests match_report PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY "${matcher_output}")
