# Provides the INTERFACE target copyvote_gcrypt.
# COPYVOTE_GCRYPT_PREFIX names a prefix that holds static libgcrypt and libgpg-error
# builds (made by scripts/provide-libgcrypt.sh when the system's library is too old);
# without it the system's libgcrypt is used through pkg-config.
set(COPYVOTE_GCRYPT_PREFIX "" CACHE PATH "Prefix of a static libgcrypt/libgpg-error build")
add_library(copyvote_gcrypt INTERFACE)
if(COPYVOTE_GCRYPT_PREFIX)
  target_include_directories(copyvote_gcrypt INTERFACE ${COPYVOTE_GCRYPT_PREFIX}/include)
  target_link_libraries(copyvote_gcrypt INTERFACE
    ${COPYVOTE_GCRYPT_PREFIX}/lib/libgcrypt.a ${COPYVOTE_GCRYPT_PREFIX}/lib/libgpg-error.a)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  target_link_libraries(copyvote_gcrypt INTERFACE PkgConfig::GCRYPT)
endif()
