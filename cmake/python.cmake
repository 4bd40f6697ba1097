# Finds the interpreters the matcher is built for.  Python 2.7 is required
# (pyenv's 2.7.18 unless PYTHON2_PREFIX says otherwise); Python 3 is built
# when its headers can be found.
find_program(PYENV_EXECUTABLE pyenv HINTS "$ENV{HOME}/.pyenv/bin" "$ENV{PYENV_ROOT}/bin")

function(corvamire_pyenv_prefix version out)
  if(PYENV_EXECUTABLE)
    execute_process(COMMAND "${PYENV_EXECUTABLE}" prefix ${version}
                    OUTPUT_VARIABLE prefix OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc ERROR_QUIET)
    if(rc EQUAL 0)
      set(${out} "${prefix}" PARENT_SCOPE)
    endif()
  endif()
endfunction()

if(NOT PYTHON2_PREFIX)
  corvamire_pyenv_prefix(2.7.18 PYTHON2_PREFIX)
endif()
find_program(PYTHON2_EXECUTABLE NAMES python2.7 HINTS "${PYTHON2_PREFIX}/bin" NO_DEFAULT_PATH)
find_program(PYTHON2_EXECUTABLE NAMES python2.7)
if(NOT PYTHON2_EXECUTABLE)
  message(FATAL_ERROR "Python 2.7 not found: install it with pyenv or set PYTHON2_PREFIX")
endif()
execute_process(COMMAND "${PYTHON2_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_paths()['include'])"
                OUTPUT_VARIABLE PYTHON2_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
message(STATUS "Python 2.7: ${PYTHON2_EXECUTABLE} (headers ${PYTHON2_INCLUDE_DIR})")

if(NOT PYTHON3_PREFIX)
  corvamire_pyenv_prefix(3.11 PYTHON3_PREFIX)
endif()
find_program(PYTHON3_EXECUTABLE NAMES python3 HINTS "${PYTHON3_PREFIX}/bin" NO_DEFAULT_PATH)
find_program(PYTHON3_EXECUTABLE NAMES python3)
if(PYTHON3_EXECUTABLE)
  execute_process(COMMAND "${PYTHON3_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_paths()['include'])"
                  OUTPUT_VARIABLE PYTHON3_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND "${PYTHON3_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"
                  OUTPUT_VARIABLE PYTHON3_EXT_SUFFIX OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${PYTHON3_INCLUDE_DIR}/Python.h")
    set(PYTHON3_INCLUDE_DIR "")
  endif()
  message(STATUS "Python 3: ${PYTHON3_EXECUTABLE} (headers ${PYTHON3_INCLUDE_DIR})")
endif()

# The file ending of a Python 3 extension module: ".so" where the interpreter
# does not say.
set(PYTHON3_MODULE_SUFFIX "${PYTHON3_EXT_SUFFIX}")
if(NOT PYTHON3_MODULE_SUFFIX)
  set(PYTHON3_MODULE_SUFFIX ".so")
endif()

# Makes the MODULE library `target` the extension module `name`, written to
# `output_dir` with the file ending `suffix`; only its init function, which
# the sources export, is visible.
function(corvamire_extension_module target name output_dir suffix)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${name}
    PREFIX ""
    SUFFIX "${suffix}"
    LIBRARY_OUTPUT_DIRECTORY "${output_dir}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()
