# Linux backend: the program and its end-to-end tests.

add_executable(dir_watcher
  platform_linux.cpp          # entry point, host process, files, error.txt
  platform_linux_errors.cpp   # errno -> Windows codes and their system texts
  platform_linux_lists.cpp    # list files read as the Windows runtime reads them
  platform_linux_text.cpp     # UTF-8 <-> UTF-16 with escaped bytes
  platform_linux_watch.cpp    # inotify dressed as a completion port
)
target_link_libraries(dir_watcher PRIVATE dir_watcher_core)
set_target_properties(dir_watcher PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CORVAMIRE_OUTPUT_ROOT}/bin")

# One process making directories and files as fast as it can, for the burst test.
add_executable(burst tests/burst.cpp)

if(PYTHON3_EXECUTABLE)
  add_test(NAME dir_watcher_linux_e2e
           COMMAND "${PYTHON3_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/tests/test_linux_watcher.py"
                   $<TARGET_FILE:dir_watcher> $<TARGET_FILE:burst>)
  set_tests_properties(dir_watcher_linux_e2e PROPERTIES LABELS sanitize TIMEOUT 600)
endif()
