# Fuzzing with libFuzzer (CANBUS_BUILD_FUZZ): every library is built with coverage
# instrumentation for the fuzzer and with AddressSanitizer + UndefinedBehaviorSanitizer; the fuzz
# targets under fuzz/ add the fuzzer's main. Needs clang.
option(CANBUS_BUILD_FUZZ "Build the libFuzzer targets (clang only)" OFF)

if(CANBUS_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CANBUS_BUILD_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()
  if(NOT CANBUS_SANITIZE STREQUAL "")
    message(FATAL_ERROR "CANBUS_BUILD_FUZZ brings its own sanitizers: leave CANBUS_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
