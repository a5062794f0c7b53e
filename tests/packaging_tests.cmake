# Installing and desktop integration: the installed tree run from a
# temporary prefix, the freedesktop files checked with their own tools, and
# the --thumbnail command. The shell tests exit 77 when they skip.
tarnelle_test(user_dirs_tests SOURCES user_dirs_test.cpp test_util.cpp LIBS tarnelle_core)

# The rest needs the whole program: the viewer, its manual and icons, the
# headless renderer.
if(NOT TARGET tarnelle_window)
  return()
endif()
set(TEST_PREFIX ${CMAKE_BINARY_DIR}/test-install)

add_test(NAME install_tree COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh tree
  ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${TEST_PREFIX})
set_tests_properties(install_tree PROPERTIES TIMEOUT 300 FIXTURES_SETUP installed
  SKIP_RETURN_CODE 77)
add_test(NAME install_readonly_settings COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh
  readonly ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${TEST_PREFIX})
# It shows the window: no other window test may run meanwhile.
set_tests_properties(install_readonly_settings PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED installed
  SKIP_RETURN_CODE 77 LABELS gui RUN_SERIAL TRUE)
# The .deb takes some ten seconds to build: cheap enough to check each time.
add_test(NAME install_deb COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/install_test.sh deb
  ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} -)
# After install_tree: both rewrite the build's install manifest.
set_tests_properties(install_deb PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
  FIXTURES_REQUIRED installed)

foreach(mode entry mime)
  add_test(NAME desktop_files_${mode} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/desktop_files_test.sh
    ${mode} ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(desktop_files_${mode} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

add_executable(thumbnail_tests thumbnail_test.cpp test_util.cpp)
target_link_libraries(thumbnail_tests PRIVATE tarnelle_thumbcache Qt6::Gui ZLIB::ZLIB GTest::gtest
  GTest::gtest_main)
target_compile_definitions(thumbnail_tests PRIVATE
  TARNELLE_CORPUS="${TARNELLE_CORPUS}"
  TARNELLE_BINARY_DIR="${CMAKE_BINARY_DIR}"
  TARNELLE_SAMPLES="${CMAKE_SOURCE_DIR}/samples"
  TARNELLE_HOSTILE_PLUGINS="${CMAKE_CURRENT_BINARY_DIR}/plugin_hostile")
# The hostile plug-ins of plugin_tests.cmake run inside the thumbnailer too.
add_dependencies(thumbnail_tests tarnelle ${HOSTILE_PLUGINS})
gtest_discover_tests(thumbnail_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
