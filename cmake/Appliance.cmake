include(GoogleTest)

# appliance_library(NAME [DEPS lib...])
# One static library per subsystem folder, built from every .cpp in the
# folder (subfolders excluded); headers are included as "folder/name.h".
function(appliance_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# appliance_test(NAME LABEL unit|netns|e2e SOURCES ... [LIBS ...] [TIMEOUT s])
# A GoogleTest binary whose cases are registered one by one with CTest so that
# `ctest -j` spreads them; LABEL names the privilege class of the cases.
# Concurrency stress cases are named with a suite ending in "Stress"; test.sh
# runs those once more under ThreadSanitizer.
function(appliance_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    APPLIANCE_SOURCE_DIR="${CMAKE_SOURCE_DIR}" APPLIANCE_BINARY_DIR="${CMAKE_BINARY_DIR}")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()
