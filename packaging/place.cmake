# Where an install path lands, for the install and packaging scripts: an absolute path beneath
# root as it stands, a relative one beneath root and the prefix.
function(lumora_place out root prefix path)
  if(IS_ABSOLUTE "${path}")
    set(${out} "${root}${path}" PARENT_SCOPE)
  else()
    set(${out} "${root}${prefix}/${path}" PARENT_SCOPE)
  endif()
endfunction()
