# Per-target warning and sanitizer settings; nothing here touches global flags.

function(tessel_target_options target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2 -Wundef
    -Wimplicit-fallthrough
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual -Wmissing-declarations>)
  if(TESSEL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(TESSEL_THREAD_SAFETY AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  tessel_target_sanitizers(${target})
endfunction()

function(tessel_target_sanitizers target)
  if(TESSEL_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${TESSEL_SANITIZE}
                           -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=${TESSEL_SANITIZE})
  endif()
endfunction()

# Test, tool and benchmark programs: warnings as for the library, sanitizers when enabled.
function(tessel_program_options target)
  tessel_target_options(${target})
endfunction()
