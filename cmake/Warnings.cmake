# Common compile options for the project's own targets.
function(kz_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()
