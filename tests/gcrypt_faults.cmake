# Library failures that a working libgcrypt does not produce on demand (a context that cannot
# be opened after others were, a digest that cannot be read) are tested with gcry_md_open,
# gcry_md_close and gcry_md_read wrapped at link time (see gcrypt_faults.cpp).
add_executable(gcrypt_fault_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/gcrypt_faults.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/test_support.cpp
  ${CMAKE_SOURCE_DIR}/lib/g_linux_crypt.cpp
  ${CMAKE_SOURCE_DIR}/lib/g_print.cpp
  ${CMAKE_SOURCE_DIR}/lib/g_console.cpp)
target_include_directories(gcrypt_fault_tests PRIVATE ${CMAKE_SOURCE_DIR}/lib ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_compile_definitions(gcrypt_fault_tests PRIVATE ${COPYVOTE_TEST_DEFINES})
target_link_libraries(gcrypt_fault_tests PRIVATE copyvote_gcrypt GTest::gtest_main ZLIB::ZLIB copyvote_warnings)
target_link_options(gcrypt_fault_tests PRIVATE -Wl,--wrap=gcry_md_read -Wl,--wrap=gcry_md_open -Wl,--wrap=gcry_md_close)
gtest_discover_tests(gcrypt_fault_tests DISCOVERY_TIMEOUT 60)
