# Version information and a manifest for each Windows program, from the
# project's one version (project(VERSION) in the root CMakeLists.txt):
#   zalvo_program_resources(TARGET NAME DESCRIPTION [EXTRA rc-text])
set(ZALVO_RC_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})
if(PROJECT_VERSION_PATCH STREQUAL "")
  set(ZALVO_VERSION_PATCH 0)
else()
  set(ZALVO_VERSION_PATCH ${PROJECT_VERSION_PATCH})
endif()

function(zalvo_program_resources target)
  cmake_parse_arguments(R "" "NAME;DESCRIPTION;EXTRA" "" ${ARGN})
  set(ZALVO_RC_NAME ${R_NAME})
  set(ZALVO_RC_DESCRIPTION ${R_DESCRIPTION})
  set(ZALVO_RC_EXTRA "${R_EXTRA}")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${R_NAME}_resources)
  set(ZALVO_RC_MANIFEST ${dir}/${R_NAME}.manifest)
  configure_file(${ZALVO_RC_TEMPLATES}/program.manifest.in ${ZALVO_RC_MANIFEST} @ONLY)
  configure_file(${ZALVO_RC_TEMPLATES}/program.rc.in ${dir}/${R_NAME}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${R_NAME}.rc)
  set_source_files_properties(${dir}/${R_NAME}.rc PROPERTIES OBJECT_DEPENDS
    "${ZALVO_RC_MANIFEST};${ZALVO_RC_TEMPLATES}/program.rc.in")
endfunction()
