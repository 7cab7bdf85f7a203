# Sanitizers apply to everything in the build, GoogleTest included, so that
# instrumented and uninstrumented code never mix.
if(NATIVE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(NATIVE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT NATIVE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "NATIVE_SANITIZE must be empty, 'address' or 'thread'")
endif()
