# Warnings are errors for every target of this project.
function(canbus_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
                                           $<$<COMPILE_LANGUAGE:CXX>:-Wconversion -Wno-sign-conversion>)
endfunction()
