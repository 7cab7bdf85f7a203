# Every target of ours is built with the same strict warnings; third-party
# sources (GoogleTest) are not, so they are applied per target.
function(native_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
