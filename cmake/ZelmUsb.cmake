# zelmusb_library(name dir...): a static library of every .cpp in the given folders
# (not their sub-folders, so a backend folder is chosen explicitly).
function(zelmusb_library name)
  set(sources)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  add_library(${name} STATIC ${sources} ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
endfunction()

# zelmusb_test(name dir libs...): one GoogleTest binary from the .cpp files of a tests/ folder.
# Cross builds run it through CMAKE_CROSSCOMPILING_EMULATOR (Wine).
function(zelmusb_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    ZELMUSB_FIXTURES="${PROJECT_SOURCE_DIR}/tests/fixtures")
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()
