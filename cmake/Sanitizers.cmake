# Sanitizers apply to everything in the build, GoogleTest included, so that
# instrumented and uninstrumented code never mix.
if(NATIVE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NATIVE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NATIVE_SANITIZE STREQUAL "fuzz")
  # libFuzzer builds (clang): coverage for everything, the fuzzer's main
  # only in the fuzz targets (native_fuzzer below).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NOT NATIVE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NATIVE_SANITIZE must be empty, 'address', 'thread' or 'fuzz'")
endif()

# A libFuzzer target: only in the fuzz configuration.
function(native_fuzzer target)
  add_executable(${target} ${ARGN})
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  native_warnings(${target})
endfunction()
