# The same sources give the same bytes wherever and whenever they are built:
# no build folder is recorded (file names in debug data and in __FILE__ are
# written relative to the source and build folders) and Windows images carry
# no link time stamp. The archives are deterministic already (binutils'
# default). The later map wins, so files generated in a build folder inside
# the source folder are named relative to the build folder.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
                    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
