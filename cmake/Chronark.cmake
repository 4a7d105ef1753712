# Small helpers shared by the layers.

# chronark_add_gtest(NAME SOURCES... LIBS libs...)
# A GoogleTest binary registered with CTest. Tests run with a pinned time zone
# and locale so that they never depend on what the machine has installed.
function(chronark_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  if(NOT ARG_SOURCES MATCHES "main")
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 180
    PROPERTIES ENVIRONMENT "TZ=Europe/Berlin;LC_ALL=C.UTF-8;QT_QPA_PLATFORM=offscreen;${ARG_ENV}" TIMEOUT 120)
endfunction()
