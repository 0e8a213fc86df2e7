# Warnings are errors on this project's own targets; third-party headers come in as SYSTEM.
function(tyx_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
