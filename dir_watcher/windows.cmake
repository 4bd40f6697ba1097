# Windows backend: the cross-built program, and (native tree) its Wine tests.
#
# The cross tree (CMAKE_SYSTEM_NAME Windows) builds dir_watcher.exe and the
# two test helpers into ${CORVAMIRE_OUTPUT_ROOT}/windows; the native tree
# runs the tests against what the cross tree left there.  The test command
# always builds the cross tree first, so a missing .exe is a failure.

set(DIR_WATCHER_WINDOWS_OUTPUT "${CORVAMIRE_OUTPUT_ROOT}/windows")

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # A Unicode GUI program (wWinMain, no window, no console) that must start
  # on a clean machine: the GCC and C++ runtimes are linked in, so only
  # system DLLs and the C runtime are imported.
  add_executable(dir_watcher WIN32 windows/platform_windows.cpp)
  target_link_libraries(dir_watcher PRIVATE dir_watcher_core shell32 user32 kernel32)
  target_compile_options(dir_watcher PRIVATE -municode)
  target_link_options(dir_watcher PRIVATE -municode -static -static-libgcc -static-libstdc++)
  set_target_properties(dir_watcher PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${DIR_WATCHER_WINDOWS_OUTPUT}")

  # Test-only console helpers for the Wine tests; never shipped with the host.
  foreach(helper open_dir stand_in_host)
    add_executable(${helper} tests/wine/${helper}.cpp)
    target_compile_options(${helper} PRIVATE -municode)
    target_link_options(${helper} PRIVATE -municode -static -static-libgcc -static-libstdc++)
    set_target_properties(${helper} PROPERTIES
      RUNTIME_OUTPUT_DIRECTORY "${DIR_WATCHER_WINDOWS_OUTPUT}")
  endforeach()
  return()
endif()

find_program(MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump)
find_program(WINE_EXECUTABLE NAMES wine)
set(DIR_WATCHER_WINDOWS_TEST_ENV
  "DIR_WATCHER_EXE=${DIR_WATCHER_WINDOWS_OUTPUT}/dir_watcher.exe"
  "OPEN_DIR_EXE=${DIR_WATCHER_WINDOWS_OUTPUT}/open_dir.exe"
  "STAND_IN_HOST_EXE=${DIR_WATCHER_WINDOWS_OUTPUT}/stand_in_host.exe"
  "MINGW_OBJDUMP=${MINGW_OBJDUMP}"
  "WINE=${WINE_EXECUTABLE}")

# Not labelled sanitize: they run a cross-built program, not a native one.
add_test(NAME dir_watcher_windows_imports
  COMMAND "${PYTHON3_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/test_imports.py")
add_test(NAME dir_watcher_windows_wine
  COMMAND "${PYTHON3_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/tests/wine/test_wine_watcher.py")
set_tests_properties(dir_watcher_windows_imports dir_watcher_windows_wine PROPERTIES
  ENVIRONMENT "${DIR_WATCHER_WINDOWS_TEST_ENV}")
set_tests_properties(dir_watcher_windows_wine PROPERTIES TIMEOUT 300)
