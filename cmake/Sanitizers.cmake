# Sanitizers apply to the whole tree, so that the library, the program and the
# tests share one runtime.
if(TAVORIN_ASAN AND TAVORIN_TSAN)
  message(FATAL_ERROR "TAVORIN_ASAN and TAVORIN_TSAN cannot be combined")
endif()
if(TAVORIN_ASAN)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TAVORIN_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(TAVORIN_BUILD_FUZZ)
  # Coverage for libFuzzer everywhere, plus ASan and UBSan so that a fuzz
  # input that strays outside a buffer stops the run.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
