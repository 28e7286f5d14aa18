# The layering check: a library may include headers of its own folder and of
# the libraries it links, directly or through their links, and nothing else.
#
# project_layering_write(<src_dir> <out_file>)
#   For every folder <src_dir>/<lib>/ that names a library target, walks the
#   LINK_LIBRARIES and INTERFACE_LINK_LIBRARIES of <lib> transitively and
#   writes one line "<lib>: <allowed>..." per folder to <out_file>, where the
#   allowed libraries are the reached targets that are folders of <src_dir>
#   too. A folder without a library of its name is written as "<lib>:?",
#   which the check reports. Call it once every library target exists.
#
# cmake/check_layering.py reads that file and every #include "x/..." under
# <src_dir>/<lib>/. Nothing here names a library: a new folder with its
# project_library() call is checked as it stands.

function(_project_layering_links target out_var)
  get_target_property(type ${target} TYPE)
  set(links "")
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    get_target_property(direct ${target} LINK_LIBRARIES)
    if(direct)
      list(APPEND links ${direct})
    endif()
  endif()
  get_target_property(iface ${target} INTERFACE_LINK_LIBRARIES)
  if(iface)
    list(APPEND links ${iface})
  endif()
  set(result "")
  foreach(link IN LISTS links)
    # target_link_libraries(PRIVATE) on a static library records the
    # interface entry as $<LINK_ONLY:name>.
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
    if(NOT TARGET "${link}")
      continue()
    endif()
    get_target_property(aliased "${link}" ALIASED_TARGET)
    if(aliased)
      set(link "${aliased}")
    endif()
    list(APPEND result "${link}")
  endforeach()
  list(REMOVE_DUPLICATES result)
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()

function(project_layering_write src_dir out_file)
  file(GLOB entries LIST_DIRECTORIES true RELATIVE ${src_dir} ${src_dir}/*)
  set(folders "")
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY ${src_dir}/${entry})
      list(APPEND folders ${entry})
    endif()
  endforeach()
  list(SORT folders)

  set(text "# Written by cmake/layering.cmake at configure time; do not edit.\n")
  foreach(lib IN LISTS folders)
    if(NOT TARGET ${lib})
      string(APPEND text "${lib}:?\n")
      continue()
    endif()
    # Breadth-first walk; imported targets (OpenSSL, SQLite, ...) are not
    # folders and their links are not ours, so the walk stops at them.
    set(seen ${lib})
    set(queue ${lib})
    while(queue)
      list(POP_FRONT queue current)
      get_target_property(imported ${current} IMPORTED)
      if(imported)
        continue()
      endif()
      _project_layering_links(${current} links)
      foreach(link IN LISTS links)
        if(NOT link IN_LIST seen)
          list(APPEND seen ${link})
          list(APPEND queue ${link})
        endif()
      endforeach()
    endwhile()
    set(allowed "")
    foreach(target IN LISTS seen)
      if(NOT target STREQUAL lib AND target IN_LIST folders)
        list(APPEND allowed ${target})
      endif()
    endforeach()
    list(SORT allowed)
    list(JOIN allowed " " allowed_text)
    string(APPEND text "${lib}: ${allowed_text}\n")
  endforeach()
  file(WRITE ${out_file} "${text}")
endfunction()
