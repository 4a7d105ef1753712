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

# The installed program folder, under every prefix (multiarch or not).
include(GNUInstallDirs)
set(CHRONARK_INSTALL_FOLDER lib/chronark)

# chronark_install_program(TARGET)
# Installs an executable into the program folder, where it finds export/ and
# relcheck.so beside itself, and a relative link to it in bin/. The link is made
# in the build folder and installed as a file, so install_manifest.txt lists it
# and an uninstall removes it.
function(chronark_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${CHRONARK_INSTALL_FOLDER})
  file(RELATIVE_PATH to_folder /${CMAKE_INSTALL_BINDIR} /${CHRONARK_INSTALL_FOLDER})
  set(link ${CMAKE_BINARY_DIR}/install-links/${target})
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
  file(CREATE_LINK ${to_folder}/${target} ${link} SYMBOLIC)
  install(FILES ${link} DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
