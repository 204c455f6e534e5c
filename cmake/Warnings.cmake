# Warnings for the project's own targets; sanitizers, when asked for, apply to every target.
function(wendrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor)
  if(WENDREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC cannot instrument the atomic fences inside Boost.Asio's headers and says so with
  # -Wtsan; Asio is used synchronously, one thread at a time, so the warning does not apply.
  if(WENDREL_SANITIZE MATCHES "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-tsan)
  endif()
endfunction()

if(WENDREL_SANITIZE)
  add_compile_options(-fsanitize=${WENDREL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${WENDREL_SANITIZE})
endif()
if(WENDREL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
