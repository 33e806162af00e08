# tarvex_include_root(<target> <PUBLIC|PRIVATE|INTERFACE> <folder>...): an include
# directory for <target> that holds only the headers of the named folders of
# the project, at their paths from the project's root (links in the build
# folder). Includes are written from the root ("korvanth/run/run_loop.h"), so a
# library sees its own folder and, through what it links, the folders of the
# libraries below it, and nothing else: an include of a layer it does not link
# fails to compile. A sub-folder is another library's room, or a library's
# private headers, so only the folder's own files are linked; adding a header
# re-runs the configuration. A PRIVATE root is kept apart from the target's
# public one: what it holds is seen by the target's own sources only.
function(tarvex_include_root target visibility)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
  if(visibility STREQUAL "PRIVATE")
    string(APPEND root ".private")
  endif()
  foreach(folder IN LISTS ARGN)
    if(IS_SYMLINK ${root}/${folder})  # a build folder made when whole folders were linked
      file(REMOVE ${root}/${folder})
    endif()
    file(MAKE_DIRECTORY ${root}/${folder})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder})
    file(GLOB headers RELATIVE ${PROJECT_SOURCE_DIR}/${folder} ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    foreach(header IN LISTS headers)
      if(NOT EXISTS ${root}/${folder}/${header})
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${header} ${root}/${folder}/${header} SYMBOLIC)
      endif()
    endforeach()
  endforeach()
  target_include_directories(${target} ${visibility} ${root})
endfunction()
