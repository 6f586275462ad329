# The man page must render without a single warning.
#
# Included by tests/CMakeLists.txt, this file registers the test; the test then runs this same
# file in script mode (cmake -P), where it formats the page with every groff warning enabled.
# groff reports warnings on standard error but still exits with 0, so any output fails.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  find_program(COPYVOTE_GROFF groff)
  add_test(NAME manpage_renders_without_warnings
    COMMAND ${CMAKE_COMMAND} -DGROFF=${COPYVOTE_GROFF} -DMANPAGE=${CMAKE_SOURCE_DIR}/docs/copyvote.1
            -P ${CMAKE_CURRENT_LIST_FILE})
  return()
endif()

if(NOT GROFF)
  message(FATAL_ERROR "groff is not installed (scripts/install-deps.sh installs groff-base)")
endif()
if(NOT EXISTS "${MANPAGE}")
  message(FATAL_ERROR "man page ${MANPAGE} is missing")
endif()
execute_process(COMMAND ${GROFF} -ww -man -Tutf8 -z ${MANPAGE}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "groff -ww -man on ${MANPAGE} (status ${status}):\n${out}${err}")
endif()
