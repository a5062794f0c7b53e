# tarnelle_add_plugin(<name> [OUTPUT_DIRECTORY <dir>] SOURCES <sources>...)
#
# Builds a reader plug-in for tarnelle: a MODULE library named <name>.so
# (no "lib" prefix) that sees tarnelle_plugin.h, exports only what the
# header marks, and leaves the _Pobj references open for the executable to
# bind at load time. OUTPUT_DIRECTORY is where the .so goes; point it at the
# "Plugin" folder beside the tarnelle executable.
# Installed, find_package(Tarnelle) points this at include/tarnelle first.
if(NOT DEFINED TARNELLE_PLUGIN_KIT_DIR)
  set(TARNELLE_PLUGIN_KIT_DIR ${CMAKE_CURRENT_LIST_DIR})
endif()

function(tarnelle_add_plugin name)
  cmake_parse_arguments(P "" "OUTPUT_DIRECTORY" "SOURCES" ${ARGN})
  if(NOT P_SOURCES)
    message(FATAL_ERROR "tarnelle_add_plugin(${name}): no SOURCES")
  endif()
  add_library(${name} MODULE ${P_SOURCES})
  target_include_directories(${name} PRIVATE ${TARNELLE_PLUGIN_KIT_DIR})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    AUTOMOC OFF
    AUTOUIC OFF
    AUTORCC OFF)
  if(P_OUTPUT_DIRECTORY)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY})
  endif()
endfunction()
