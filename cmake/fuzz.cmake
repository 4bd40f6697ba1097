# The fuzz tree: libFuzzer targets under AddressSanitizer and
# UndefinedBehaviorSanitizer, built with clang in a tree of their own
# (build/fuzz, made by `make fuzz` and `make test`).
#
# Every component keeps its targets in its own fuzz/ directory: the
# top-level CMakeLists.txt adds the component in this tree, and the
# component's CMakeLists.txt, once its libraries are defined, adds fuzz/ and
# returns when CORVAMIRE_FUZZ is on.  A target is one add_fuzz_target()
# call; its seed corpus is fuzz/corpus/<name>/ and its dictionary, when it
# has one, fuzz/<name>.dict.
#
# Each target is one ctest test, labelled "fuzz": it runs every corpus input
# and then fuzzes for CORVAMIRE_FUZZ_SECONDS seconds (20 unless the
# environment says otherwise), so one list of targets serves both the short
# pass of `make test` and the long runs of `make fuzz`.

set(CORVAMIRE_FUZZ_READY OFF)
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(STATUS "Fuzz targets need clang (this is ${CMAKE_CXX_COMPILER_ID}): none built")
  return()
endif()

include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer,address,undefined")
check_cxx_source_compiles("
  #include <cstddef>
  #include <cstdint>
  extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }"
  CORVAMIRE_HAVE_LIBFUZZER)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT CORVAMIRE_HAVE_LIBFUZZER)
  message(STATUS "clang cannot link libFuzzer (libclang-rt-dev missing?): no fuzz targets built")
  return()
endif()
set(CORVAMIRE_FUZZ_READY ON)

# The code under test gets coverage instrumentation and the sanitizers;
# only the targets themselves link libFuzzer's main.
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)

set(CORVAMIRE_FUZZ_RUNNER "${CMAKE_CURRENT_LIST_DIR}/run_fuzz_target.sh")

# add_fuzz_target(<name> SOURCES <files...> [LIBRARIES <libs...>] [MAX_LEN <bytes>])
# SOURCES are the target's own code; the code under test comes in LIBRARIES.
function(add_fuzz_target name)
  cmake_parse_arguments(FUZZ "" "MAX_LEN" "SOURCES;LIBRARIES" ${ARGN})
  set(target fuzz_${name})
  add_executable(${target} ${FUZZ_SOURCES})
  target_link_libraries(${target} PRIVATE ${FUZZ_LIBRARIES})
  # Coverage guides by the code under test (the libraries), not by the
  # target's own checks and reference models, which it would only slow.
  target_compile_options(${target} PRIVATE -fno-sanitize=fuzzer-no-link)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)

  set(corpus "${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name}")
  if(NOT IS_DIRECTORY "${corpus}")
    message(FATAL_ERROR "fuzz target ${name} has no seed corpus at ${corpus}")
  endif()
  set(dict "${CMAKE_CURRENT_SOURCE_DIR}/${name}.dict")
  if(NOT EXISTS "${dict}")
    set(dict "")
  endif()
  set(max_len "${FUZZ_MAX_LEN}")
  if(NOT max_len)
    set(max_len 4096)
  endif()
  add_test(NAME fuzz.${name}
           COMMAND sh "${CORVAMIRE_FUZZ_RUNNER}" $<TARGET_FILE:${target}>
                   "${CMAKE_CURRENT_BINARY_DIR}/${name}" "${corpus}" "${max_len}" "${dict}")
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz)
endfunction()
