# find_package(Tarnelle) for plug-in authors: gives tarnelle_add_plugin,
# TARNELLE_INCLUDE_DIR (tarnelle_plugin.h) and TARNELLE_PLUGIN_DIR, the
# Plugin folder of this installation.
get_filename_component(_tarnelle_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(TARNELLE_INCLUDE_DIR "${_tarnelle_prefix}/include/tarnelle")
set(TARNELLE_PLUGIN_DIR "${_tarnelle_prefix}/lib/tarnelle/Plugin")
set(TARNELLE_PLUGIN_KIT_DIR "${TARNELLE_INCLUDE_DIR}")
unset(_tarnelle_prefix)
include("${CMAKE_CURRENT_LIST_DIR}/TarnellePlugin.cmake")
