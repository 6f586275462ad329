# When the program links a libgcrypt built for it because the system's is older than the
# version it demands, a probe linked against the system's library shows the version check
# failing. The unit test GCrypt.OldLibraryIsRefused runs the probe; elsewhere it is skipped.
if(COPYVOTE_GCRYPT_PREFIX)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(COPYVOTE_SYSTEM_GCRYPT QUIET IMPORTED_TARGET libgcrypt)
  endif()
  if(COPYVOTE_SYSTEM_GCRYPT_FOUND AND COPYVOTE_SYSTEM_GCRYPT_VERSION VERSION_LESS COPYVOTE_GCRYPT_MIN_VERSION)
    add_executable(gcrypt_version_probe
      ${CMAKE_CURRENT_SOURCE_DIR}/gcrypt_version_probe.cpp
      ${CMAKE_SOURCE_DIR}/lib/g_linux_crypt.cpp
      ${CMAKE_SOURCE_DIR}/lib/g_print.cpp
      ${CMAKE_SOURCE_DIR}/lib/g_console.cpp)
    target_include_directories(gcrypt_version_probe PRIVATE ${CMAKE_SOURCE_DIR}/lib)
    target_compile_definitions(gcrypt_version_probe PRIVATE
      COPYVOTE_GCRYPT_MIN_VERSION="${COPYVOTE_GCRYPT_MIN_VERSION}")
    target_link_libraries(gcrypt_version_probe PRIVATE PkgConfig::COPYVOTE_SYSTEM_GCRYPT copyvote_warnings)
    add_dependencies(unit_tests gcrypt_version_probe)
    target_compile_definitions(unit_tests PRIVATE
      COPYVOTE_GCRYPT_PROBE="$<TARGET_FILE:gcrypt_version_probe>")
  endif()
endif()
