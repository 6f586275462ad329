# libgcrypt never hands out a null digest for a context that it opened, so the handling of
# one is tested with gcry_md_read wrapped at link time (see gcrypt_read_failure.cpp).
add_executable(gcrypt_read_failure_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/gcrypt_read_failure.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/test_support.cpp
  ${CMAKE_SOURCE_DIR}/lib/g_linux_crypt.cpp
  ${CMAKE_SOURCE_DIR}/lib/g_print.cpp
  ${CMAKE_SOURCE_DIR}/lib/g_console.cpp)
target_include_directories(gcrypt_read_failure_tests PRIVATE ${CMAKE_SOURCE_DIR}/lib ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_compile_definitions(gcrypt_read_failure_tests PRIVATE ${COPYVOTE_TEST_DEFINES})
target_link_libraries(gcrypt_read_failure_tests PRIVATE copyvote_gcrypt GTest::gtest_main copyvote_warnings)
target_link_options(gcrypt_read_failure_tests PRIVATE -Wl,--wrap=gcry_md_read)
gtest_discover_tests(gcrypt_read_failure_tests DISCOVERY_TIMEOUT 60)
