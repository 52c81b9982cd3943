# tavorin_warnings(target): the warning set every target of the project uses.
function(tavorin_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion-null
                                           -Wnon-virtual-dtor -Wno-unused-parameter)
endfunction()
