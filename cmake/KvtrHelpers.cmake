# Small helpers shared by the project's CMake files.

# kvtr_library(NAME SOURCES...): a static library of product code. It is
# linked into kvtr.dll / libkvtr.so and into the test programs.
function(kvtr_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC kvtr_platform)
endfunction()
