# Reader plug-in tests: fixture plug-ins built with the kit into a test-only
# folder and loaded in-process, and the sample plug-ins run through the
# tarnelle executable.
include(${CMAKE_SOURCE_DIR}/plugins/kit/TarnellePlugin.cmake)

tarnelle_test(plugin_tests SOURCES plugin_host_test.cpp plugin_off_test.cpp
  plugin_loader_test.cpp loader_reply_test.cpp test_util.cpp
  LIBS tarnelle_readers tarnelle_core tarnelle_pobj)
# The fixtures call the _Pobj functions back in the test executable.
set_target_properties(plugin_tests PROPERTIES ENABLE_EXPORTS ON)
set(PLUGIN_FIXTURES ${CMAKE_CURRENT_BINARY_DIR}/plugin_fixtures)
target_compile_definitions(plugin_tests PRIVATE TARNELLE_PLUGIN_FIXTURES="${PLUGIN_FIXTURES}")
add_dependencies(plugin_tests tarnelle plugin_off tarnelle-loader)
target_compile_definitions(plugin_tests PRIVATE
  TARNELLE_APP_DIR="$<TARGET_FILE_DIR:tarnelle>"
  TARNELLE_HOSTILE_PLUGINS="${CMAKE_CURRENT_BINARY_DIR}/plugin_hostile")

# Plug-ins that crash, exhaust memory, spin, write files, open sockets,
# kill, change files, reach for a terminal, outlive their viewer, fill the
# model file or forge a reply (of a model or of its appearance): the loader
# process must contain each of them.
set(HOSTILE_PLUGINS)
foreach(kind CRASH ALLOC SPIN WRITE SOCKET KILL META READ TTY ORPHAN FILL FORGE LOOK PRINT FDS)
  string(TOLOWER ${kind} ext)
  tarnelle_add_plugin(tp_hostile_${ext} OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/plugin_hostile
    SOURCES plugin_hostile.c)
  target_compile_definitions(tp_hostile_${ext} PRIVATE TP_${kind} TP_NAME="Hostile ${ext}"
    TP_EXT="${ext}")
  # Their faults are the point: the sanitizer build must not stop them first.
  target_compile_options(tp_hostile_${ext} PRIVATE -fno-sanitize=undefined)
  add_dependencies(plugin_tests tp_hostile_${ext})
  list(APPEND HOSTILE_PLUGINS tp_hostile_${ext})
endforeach()

function(plugin_fixture name)
  tarnelle_add_plugin(${name} OUTPUT_DIRECTORY ${PLUGIN_FIXTURES} SOURCES plugin_fixture.c)
  target_compile_definitions(${name} PRIVATE ${ARGN})
  add_dependencies(plugin_tests ${name})
endfunction()

plugin_fixture(tp_good)
plugin_fixture(tp_upper TP_NAME="UpperCase" TP_EXT="TpU")
plugin_fixture(tp_starred TP_NAME="Starred" TP_EXT="*.tps")
plugin_fixture(tp_obj TP_NAME="TestObj" TP_EXT="obj")
plugin_fixture(tp_no_ver TP_NO_GETPLUGINVER)
plugin_fixture(tp_wrong_ver TP_VERSION=1478492177)
plugin_fixture(tp_no_info TP_NO_GETSUPPORTINFO)
plugin_fixture(tp_no_load TP_NO_LOAD)
plugin_fixture(tp_no_issupport TP_NO_ISSUPPORT)
plugin_fixture(tp_no_errmsg TP_NO_GETERRMSG)
plugin_fixture(tp_null_name TP_NULL_NAME)
plugin_fixture(tp_null_ext TP_NULL_EXT)

# A plug-in built with today's kit in an executable that predates the
# appearance functions.
add_executable(plugin_old_host plugin_old_host.c)
set_target_properties(plugin_old_host PROPERTIES ENABLE_EXPORTS ON C_VISIBILITY_PRESET hidden)
target_link_libraries(plugin_old_host PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(plugin_old_host tp_good)
add_dependencies(plugin_tests plugin_old_host)
add_test(NAME PluginKit.LoadsWithoutTheAppearanceFunctions
  COMMAND plugin_old_host ${PLUGIN_FIXTURES}/tp_good.so)

# The reader plug-ins on assimp, with assimp's sample models when the
# assimp-testmodels package is installed.
if(TARNELLE_ASSIMP_PLUGINS_BUILT)
  tarnelle_test(plugin_assimp_tests SOURCES plugin_assimp_test.cpp test_util.cpp
    LIBS tarnelle_appcore tarnelle_readers tarnelle_core tarnelle_pobj)
  set_target_properties(plugin_assimp_tests PROPERTIES ENABLE_EXPORTS ON)
  set(ASSIMP_FIXTURES ${CMAKE_CURRENT_BINARY_DIR}/assimp_fixtures)
  target_compile_definitions(plugin_assimp_tests PRIVATE
    TARNELLE_ASSIMP_FIXTURES="${ASSIMP_FIXTURES}")
  add_dependencies(plugin_assimp_tests tarnelle ${TARNELLE_ASSIMP_PLUGINS_BUILT})
  # Modules for the built-in readers' formats, never shipped: they show
  # which reader a file goes to when both could read it.
  foreach(ext stl obj ply 3ds lwo dxf cob)
    string(TOUPPER ${ext} upper)
    tarnelle_add_assimp_plugin(tp_assimp_${ext} ${ext} "${upper} (assimp)" ${ASSIMP_FIXTURES})
    add_dependencies(plugin_assimp_tests tp_assimp_${ext})
  endforeach()
endif()
