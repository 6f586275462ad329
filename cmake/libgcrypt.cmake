# Provides the INTERFACE target copyvote_gcrypt.
# COPYVOTE_GCRYPT_PREFIX names a prefix that holds static libgcrypt and libgpg-error
# builds (made by scripts/provide-libgcrypt.sh when the system's library is too old);
# without it the system's libgcrypt is used through pkg-config.
set(COPYVOTE_GCRYPT_PREFIX "" CACHE PATH "Prefix of a static libgcrypt/libgpg-error build")
# The oldest libgcrypt the program accepts; scripts/provide-libgcrypt.sh reads it from here too.
set(COPYVOTE_GCRYPT_MIN_VERSION 1.10.3)
add_library(copyvote_gcrypt INTERFACE)
target_compile_definitions(copyvote_gcrypt INTERFACE COPYVOTE_GCRYPT_MIN_VERSION="${COPYVOTE_GCRYPT_MIN_VERSION}")
if(COPYVOTE_GCRYPT_PREFIX)
  foreach(file include/gcrypt.h lib/libgcrypt.a lib/libgpg-error.a)
    if(NOT EXISTS ${COPYVOTE_GCRYPT_PREFIX}/${file})
      message(FATAL_ERROR "${COPYVOTE_GCRYPT_PREFIX}/${file} is missing: run scripts/provide-libgcrypt.sh first")
    endif()
  endforeach()
  target_include_directories(copyvote_gcrypt INTERFACE ${COPYVOTE_GCRYPT_PREFIX}/include)
  target_link_libraries(copyvote_gcrypt INTERFACE
    ${COPYVOTE_GCRYPT_PREFIX}/lib/libgcrypt.a ${COPYVOTE_GCRYPT_PREFIX}/lib/libgpg-error.a)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  target_link_libraries(copyvote_gcrypt INTERFACE PkgConfig::GCRYPT)
  if(GCRYPT_VERSION VERSION_LESS COPYVOTE_GCRYPT_MIN_VERSION)
    message(WARNING "The system's libgcrypt ${GCRYPT_VERSION} is older than ${COPYVOTE_GCRYPT_MIN_VERSION}: "
      "copyvote will refuse to compute digests. Build with `make`, or run scripts/provide-libgcrypt.sh "
      "and pass -DCOPYVOTE_GCRYPT_PREFIX=$(scripts/provide-libgcrypt.sh --prefix-only).")
  endif()
endif()
