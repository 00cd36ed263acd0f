# veltrix_target_defaults(target): C++17 and the warning set used across the project.
function(veltrix_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_17)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
  if(VELTRIX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
