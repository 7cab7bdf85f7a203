# GoogleTest is built from the distribution's sources so that it gets the same
# sanitizer and word-size flags as the code under test.
set(NATIVE_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${NATIVE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# native_test(NAME name SOURCES ... LIBS ... [ISOLATED])
# ISOLATED tests link the test main that moves the process into a private
# mount namespace before any test runs (see testsupport/).
function(native_test)
  cmake_parse_arguments(T "ISOLATED" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  native_warnings(${T_NAME})
  if(T_ISOLATED)
    target_link_libraries(${T_NAME} PRIVATE testsupport_main)
  else()
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
endfunction()
