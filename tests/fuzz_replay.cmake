# Replays the committed fuzz corpora as regression tests: every fuzz/fuzz_<name>.cpp is built
# with a plain main() that feeds each file of fuzz/corpus/fuzz_<name>/ to the target once. In
# the sanitized build the replay runs under AddressSanitizer and UBSan like everything else.
file(GLOB COPYVOTE_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
foreach(src ${COPYVOTE_FUZZ_TARGETS})
  get_filename_component(name ${src} NAME_WE)
  add_executable(replay_${name} ${src} ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_include_directories(replay_${name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_SOURCE_DIR}/tests/support)
  target_link_libraries(replay_${name} PRIVATE copyvote_core copyvote_warnings)
  add_test(NAME fuzz_replay.${name} COMMAND replay_${name} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(fuzz_replay.${name} PROPERTIES TIMEOUT 300)
endforeach()
