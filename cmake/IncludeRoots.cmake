# tarvex_include_root(<target> <PUBLIC|PRIVATE|INTERFACE> <folder>...): an include
# directory for <target> that holds only the named folders of the project, at
# their paths from the project's root (links in the build folder). Includes are
# written from the root ("korvanth/run/run_loop.h"), so a library sees its own
# folder and, through what it links, the folders of the libraries below it, and
# nothing else: an include of a layer it does not link fails to compile.
function(tarvex_include_root target visibility)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${root}/${folder})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} ${visibility} ${root})
endfunction()
