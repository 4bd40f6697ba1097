# Linux backend: the program, its unit tests and its end-to-end tests.

# The backend apart from its entry point, so its pieces can be tested alone.
add_library(dir_watcher_linux OBJECT
  linux/process_files.cpp     # command line, host process, files, error.txt
  linux/errors.cpp            # errno -> Windows codes and their system texts
  linux/lists.cpp             # list files read as the Windows runtime reads them
  linux/text.cpp              # UTF-8 <-> UTF-16 with escaped bytes
  linux/paths.cpp             # record names; directories reached by descriptors
  linux/records.cpp           # change records and their queue
  linux/tree.cpp              # the watch tree: watches, the subtree walk, recovery
  linux/events.cpp            # inotify events and move pairing
  linux/port.cpp              # inotify dressed as a completion port
)
target_include_directories(dir_watcher_linux PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})

add_executable(dir_watcher linux/main.cpp)
target_link_libraries(dir_watcher PRIVATE dir_watcher_linux dir_watcher_core)
set_target_properties(dir_watcher PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CORVAMIRE_OUTPUT_ROOT}/bin")

# Change records byte for byte, the names they carry, and the tree's last resort.
include(GoogleTest)
add_executable(dir_watcher_linux_tests tests/linux_records_test.cpp tests/linux_tree_test.cpp)
# The backend alone: it never calls the logic.
target_link_libraries(dir_watcher_linux_tests PRIVATE dir_watcher_linux dir_watcher_wide_text GTest::gtest_main)
gtest_discover_tests(dir_watcher_linux_tests
  TEST_PREFIX "dir_watcher_linux."
  PROPERTIES LABELS sanitize)

# One process making directories and files as fast as it can, for the burst test.
add_executable(burst tests/burst.cpp)

if(PYTHON3_EXECUTABLE)
  add_test(NAME dir_watcher_linux_e2e
           COMMAND "${PYTHON3_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/tests/test_linux_watcher.py"
                   $<TARGET_FILE:dir_watcher> $<TARGET_FILE:burst>)
  set_tests_properties(dir_watcher_linux_e2e PROPERTIES LABELS sanitize TIMEOUT 600)

  # The host model: workloads of real machines, then the host's picture
  # against the disk.  DIR_WATCHER_RACE_RUNS=N repeats the races N times.
  add_test(NAME dir_watcher_linux_host_model
           COMMAND "${PYTHON3_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/tests/test_linux_host_model.py"
                   $<TARGET_FILE:dir_watcher> "${PROJECT_SOURCE_DIR}" HostModelTest)
  set_tests_properties(dir_watcher_linux_host_model PROPERTIES LABELS sanitize TIMEOUT 900)

  # Seeded random races, a few seconds; CORVAMIRE_FUZZ_SECONDS=S (make fuzz)
  # runs them for S seconds.
  add_test(NAME dir_watcher_linux_host_model_random
           COMMAND "${PYTHON3_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/tests/test_linux_host_model.py"
                   $<TARGET_FILE:dir_watcher> "${PROJECT_SOURCE_DIR}" RandomizedTest)
  set_tests_properties(dir_watcher_linux_host_model_random PROPERTIES LABELS "sanitize;fuzz")

  # The scripts start the watcher and read its batches with the package's
  # own helpers, as a host does.
  set_tests_properties(dir_watcher_linux_e2e dir_watcher_linux_host_model dir_watcher_linux_host_model_random
    PROPERTIES ENVIRONMENT "PYTHONPATH=${PROJECT_SOURCE_DIR};PYTHONDONTWRITEBYTECODE=1")
endif()
