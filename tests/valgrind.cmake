# Memcheck of one multi-block run with -a and a digest: three damaged copies of about 5 MB
# (three blocks, the last one not a multiple of 8 bytes long) must restore to the original
# with no memory error and no leak. Registered only where valgrind is installed and the build
# is not sanitized (valgrind cannot run an AddressSanitizer binary).
#
# The file has two roles: included by tests/CMakeLists.txt it registers the test; run with
# `cmake -P` it is the test itself.

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(var COPYVOTE VALGRIND WORK)
    if(NOT DEFINED ${var})
      message(FATAL_ERROR "valgrind check: ${var} not set")
    endif()
  endforeach()
  file(REMOVE_RECURSE "${WORK}")
  file(MAKE_DIRECTORY "${WORK}")

  string(RANDOM LENGTH 4096 ALPHABET "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,"
         RANDOM_SEED 20240 unit)
  string(REPEAT "${unit}" 1250 original)
  string(APPEND original "tail5")  # 5 120 005 bytes

  # One copy of the original with a '#' (a byte the original never holds) at each offset.
  function(damaged offsets out)
    set(text "${original}")
    foreach(at ${offsets})
      math(EXPR after "${at} + 1")
      string(SUBSTRING "${text}" 0 ${at} head)
      string(SUBSTRING "${text}" ${after} -1 rest)
      set(text "${head}#${rest}")
    endforeach()
    set(${out} "${text}" PARENT_SCOPE)
  endfunction()
  damaged("100;2100000" copy1)
  damaged("301;4200000" copy2)
  damaged("5000;5120003" copy3)
  file(WRITE "${WORK}/1.wav" "${copy1}")
  file(WRITE "${WORK}/2.wav" "${copy2}")
  file(WRITE "${WORK}/3.wav" "${copy3}")
  file(WRITE "${WORK}/original" "${original}")

  execute_process(
    COMMAND "${VALGRIND}" --error-exitcode=99 --leak-check=full "${COPYVOTE}" 1.wav 2.wav 3.wav -a -sha256
    WORKING_DIRECTORY "${WORK}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "copyvote under valgrind ended with ${status}\n--- stdout\n${out}\n--- stderr\n${err}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK}/out.wav" "${WORK}/original"
                  RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "copyvote under valgrind did not restore the original")
  endif()
  file(REMOVE_RECURSE "${WORK}")
  return()
endif()

find_program(COPYVOTE_VALGRIND valgrind)
if(COPYVOTE_VALGRIND AND NOT COPYVOTE_SANITIZE)
  add_test(NAME valgrind.multi_block_samples_digest
           COMMAND ${CMAKE_COMMAND} -DCOPYVOTE=$<TARGET_FILE:copyvote> -DVALGRIND=${COPYVOTE_VALGRIND}
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/valgrind_work -P ${CMAKE_CURRENT_LIST_FILE})
  set_tests_properties(valgrind.multi_block_samples_digest PROPERTIES TIMEOUT 120)
endif()
