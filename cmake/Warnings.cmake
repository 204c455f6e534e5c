# Warnings for the project's own targets; sanitizers, when asked for, apply to every target.
function(wendrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor)
  if(WENDREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(WENDREL_SANITIZE)
  add_compile_options(-fsanitize=${WENDREL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${WENDREL_SANITIZE})
endif()
