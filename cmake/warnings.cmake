# Compiler flags shared by every target of ours (third-party code gets none of them).
function(kelo_target_flags target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /utf-8 /permissive-)
    if(KELO_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(KELO_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
  if(WIN32)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  endif()
endfunction()

if(KELO_SANITIZE AND NOT MSVC)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(KELO_TSAN AND NOT MSVC)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# The agent as shipped in the .deb: libc calls checked where sizes are known, and
# relocations read-only once loaded, as Debian builds its own packages.
if(NOT WIN32 AND CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT KELO_SANITIZE AND NOT KELO_TSAN AND NOT KELO_FUZZ)
  add_compile_options(-D_FORTIFY_SOURCE=2)
  add_link_options(-Wl,-z,relro,-z,now)
endif()

# Coverage instrumentation everywhere; only the fuzz targets link libFuzzer's main.
if(KELO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KELO_FUZZ needs clang (libFuzzer): use the linux-fuzz preset")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(MINGW)
  # The runtime DLLs are not on a user's PC (nor in the Wine prefix): link them in.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
