# zv_version_resource(TARGET DESCRIPTION [ICON]): the Windows version resource
# Explorer shows, from the project version; with ICON, also the program's icon.
function(zv_version_resource target description)
  set(ZV_RC_NAME ${target})
  set(ZV_RC_DESCRIPTION ${description})
  set(ZV_RC_ICON "")
  if(ARGC GREATER 2)
    # Qt's windows platform plugin gives every window this icon until the window sets its own,
    # and Explorer shows the first icon of the file.
    set(ZV_RC_ICON "IDI_ICON1 ICON \"${ARGV2}\"")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  if(ARGC GREATER 2)
    set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS ${ARGV2})
  endif()
endfunction()
