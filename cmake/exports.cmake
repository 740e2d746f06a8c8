# exports.cmake -- module-definition files for both targets.
# The .def files name 32-bit stdcall symbols with their decoration
# (RexxFeedback@8). A 64-bit target has one calling convention and no
# decoration, so there the same file is used with the "@N" after each symbol
# removed; ordinals (" @17") stay.

# tarvune_def_file(VAR FILE): sets VAR to the .def file for this target.
function(tarvune_def_file var file)
  get_filename_component(path ${file} ABSOLUTE)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(${var} ${path} PARENT_SCOPE)
    return()
  endif()
  get_filename_component(name ${file} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/undecorated/${name})
  file(READ ${path} text)
  string(REGEX REPLACE "([A-Za-z0-9_])@[0-9]+" "\\1" text "${text}")
  file(CONFIGURE OUTPUT ${out} CONTENT "${text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
  set(${var} ${out} PARENT_SCOPE)
endfunction()
