# Helpers shared by every folder's CMakeLists.txt.

set(VELMORA_WARNINGS -Wall -Wextra -Werror=return-type)

# velmora_library(NAME folder-target DEPS lib...)
# Builds every .cpp of the calling folder into one static library. Sources include
# project headers by their path from the project root ("TK/tk_log.h").
function(velmora_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${VELMORA_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# velmora_test(NAME test-target DEPS lib...)
# Builds every .cpp of the calling tests folder into one GoogleTest program and
# registers its tests with ctest.
function(velmora_test name)
  cmake_parse_arguments(ARG "" "" "DEPS;PROPERTIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_compile_options(${name} PRIVATE ${VELMORA_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} test_support GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ${ARG_PROPERTIES})
endfunction()
