# tolvex_library(NAME <target> [LIBS ...]): one library per source folder,
# made of every .cpp in that folder, so that adding a unit needs no edit here.
function(tolvex_library)
  cmake_parse_arguments(A "" "NAME" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${A_NAME} STATIC ${srcs})
  target_include_directories(${A_NAME} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${A_NAME} PUBLIC ${A_LIBS})
endfunction()

# tolvex_test(NAME <exe> SOURCES ... LIBS ... LABELS ...): one GoogleTest
# program; each of its tests becomes a ctest test carrying the labels.
# Labels: unit, lan (private networks, root), gui, peers (real servers), i386.
function(tolvex_test)
  cmake_parse_arguments(A "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${A_NAME} ${A_SOURCES})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  set_target_properties(${A_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${A_NAME}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    PROPERTIES LABELS "${A_LABELS}" TIMEOUT ${A_TIMEOUT}
               ENVIRONMENT "TOLVEX_BIN_DIR=${TOLVEX_BIN_DIR};TOLVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()
