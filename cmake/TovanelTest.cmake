# One helper that registers every test with its environment: each test gets a home, config and temp
# folder of its own inside the build tree, the offscreen Qt platform, and no display.
include_guard(GLOBAL)

# tovanel_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [TIMEOUT <s>] [LABELS <l...>]
#                  [DEFINES <defs...>])
function(tovanel_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;DEFINES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests-bin)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS})
  target_compile_definitions(${T_NAME} PRIVATE
    TOVANEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TOVANEL_CORPUS_DIR="${PROJECT_SOURCE_DIR}/tests/corpus"
    TOVANEL_BIN_DIR="${TOVANEL_BIN_DIR}"
    ${T_DEFINES})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(home ${CMAKE_BINARY_DIR}/test-home/${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  # The fixture folder is made anew before each run of the test.
  add_test(NAME ${T_NAME}.prepare COMMAND ${CMAKE_COMMAND} -E rm -rf ${home})
  add_test(NAME ${T_NAME}.mkdir COMMAND ${CMAKE_COMMAND} -E make_directory ${home}/tmp ${home}/config ${home}/Desktop)
  set_tests_properties(${T_NAME}.prepare PROPERTIES FIXTURES_SETUP ${T_NAME}.home)
  set_tests_properties(${T_NAME}.mkdir PROPERTIES FIXTURES_SETUP ${T_NAME}.home DEPENDS ${T_NAME}.prepare)
  set_tests_properties(${T_NAME} PROPERTIES
    FIXTURES_REQUIRED ${T_NAME}.home
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${home};XDG_CONFIG_HOME=${home}/config;XDG_DESKTOP_DIR=${home}/Desktop;XDG_CACHE_HOME=${home}/cache;XDG_RUNTIME_DIR=${home}/tmp;TMPDIR=${home}/tmp;TEMP=${home}/tmp;DISPLAY=;WAYLAND_DISPLAY=;QT_LOGGING_RULES=qt.qpa.*=false")
endfunction()
