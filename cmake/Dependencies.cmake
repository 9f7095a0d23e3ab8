# Crypto++, zlib and GoogleTest: Debian's packages natively, cached
# cross-builds of Crypto++ and mingw's zlib for Windows; libdeflate: the
# bootstrap's patched build everywhere.
if(CMAKE_CROSSCOMPILING)
  set(KZ_CRYPTOPP_ROOT "$ENV{KZ_CRYPTOPP_ROOT}" CACHE PATH "Crypto++ cross-build (made by scripts/bootstrap.sh)")
  if(NOT EXISTS "${KZ_CRYPTOPP_ROOT}/lib/libcryptopp.a")
    message(FATAL_ERROR "Crypto++ for mingw not found in '${KZ_CRYPTOPP_ROOT}'. Run scripts/bootstrap.sh "
                        "(or 'make bootstrap') and configure with KZ_CRYPTOPP_ROOT set to the path it prints.")
  endif()
  add_library(cryptopp STATIC IMPORTED GLOBAL)
  set_target_properties(cryptopp PROPERTIES IMPORTED_LOCATION "${KZ_CRYPTOPP_ROOT}/lib/libcryptopp.a"
                                            INTERFACE_INCLUDE_DIRECTORIES "${KZ_CRYPTOPP_ROOT}/include")
  # Consumers must see the same configuration macros as the library build.
  file(STRINGS "${KZ_CRYPTOPP_ROOT}/config-macros.txt" KZ_CRYPTOPP_DEFINES)
  if(KZ_CRYPTOPP_DEFINES)
    set_property(TARGET cryptopp PROPERTY INTERFACE_COMPILE_DEFINITIONS ${KZ_CRYPTOPP_DEFINES})
  endif()
  set(ZLIB_USE_STATIC_LIBS ON)
  find_package(ZLIB REQUIRED)
  # Static runtime: the stub ships as one file with no DLLs of its own.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # A section per function and datum, so that Stub.exe's --gc-sections can
  # drop what nothing refers to (the Crypto++ build is made the same way).
  add_compile_options(-ffunction-sections -fdata-sections)
else()
  find_path(KZ_CRYPTOPP_INCLUDE cryptopp/rsa.h PATHS /usr/include REQUIRED)
  find_library(KZ_CRYPTOPP_LIB NAMES cryptopp crypto++ REQUIRED)
  add_library(cryptopp UNKNOWN IMPORTED GLOBAL)
  set_target_properties(cryptopp PROPERTIES IMPORTED_LOCATION "${KZ_CRYPTOPP_LIB}"
                                            INTERFACE_INCLUDE_DIRECTORIES "${KZ_CRYPTOPP_INCLUDE}")
  find_package(ZLIB REQUIRED)
endif()
# libdeflate: always the bootstrap's patched build (natively too), so that
# every program inflates with the same verdicts as zlib. The fuzz preset
# compiles the same patched source itself, with its coverage and sanitizer
# flags, so that the fuzzers see inside the decoder.
if(KZ_BUILD_FUZZERS)
  # Where the bootstrap keeps it: KZ_CACHE (default ~/.cache/kzinstaller).
  set(kz_cache "$ENV{KZ_CACHE}")
  if(NOT kz_cache)
    set(kz_cache "$ENV{HOME}/.cache/kzinstaller")
  endif()
  set(KZ_LIBDEFLATE_SOURCE "${kz_cache}/libdeflate-source" CACHE PATH "patched libdeflate source (kept by scripts/bootstrap.sh)")
  if(NOT EXISTS "${KZ_LIBDEFLATE_SOURCE}/lib/deflate_decompress.c")
    message(FATAL_ERROR "libdeflate's patched source not found in '${KZ_LIBDEFLATE_SOURCE}'. Run scripts/bootstrap.sh "
                        "(or 'make bootstrap') and configure with KZ_LIBDEFLATE_SOURCE set to the path it prints.")
  endif()
  file(GLOB kz_libdeflate_sources "${KZ_LIBDEFLATE_SOURCE}/lib/*.c" "${KZ_LIBDEFLATE_SOURCE}/lib/*/cpu_features.c")
  add_library(libdeflate STATIC ${kz_libdeflate_sources})
  # As libdeflate's own Makefile builds it.
  target_compile_options(libdeflate PRIVATE -std=c99 -fvisibility=hidden)
  target_compile_definitions(libdeflate PRIVATE _ANSI_SOURCE)
  target_include_directories(libdeflate PUBLIC "${KZ_LIBDEFLATE_SOURCE}")
else()
  set(KZ_LIBDEFLATE_ROOT "$ENV{KZ_LIBDEFLATE_ROOT}" CACHE PATH "libdeflate build (made by scripts/bootstrap.sh)")
  if(NOT EXISTS "${KZ_LIBDEFLATE_ROOT}/lib/libdeflate.a")
    message(FATAL_ERROR "libdeflate not found in '${KZ_LIBDEFLATE_ROOT}'. Run scripts/bootstrap.sh "
                        "(or 'make bootstrap') and configure with KZ_LIBDEFLATE_ROOT set to the path it prints.")
  endif()
  add_library(libdeflate STATIC IMPORTED GLOBAL)
  set_target_properties(libdeflate PROPERTIES IMPORTED_LOCATION "${KZ_LIBDEFLATE_ROOT}/lib/libdeflate.a"
                                              INTERFACE_INCLUDE_DIRECTORIES "${KZ_LIBDEFLATE_ROOT}/include")
endif()

if(KZ_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # The win32-thread mingw runtime has no std::mutex, which googletest's
    # Notification needs: supply one that does without.
    target_compile_definitions(gtest PUBLIC GTEST_HAS_NOTIFICATION_=1)
    target_compile_options(gtest PUBLIC -include ${CMAKE_CURRENT_LIST_DIR}/gtest_mingw_notification.h)
    # Newer googletest sources define these aliases themselves.
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
    if(NOT TARGET GTest::gmock)
      add_library(GTest::gmock ALIAS gmock)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
