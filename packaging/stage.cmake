# Runs in cpack on the staged install, before the package is made: the unit moves from beneath
# the prefix to where systemd reads it, and the Debian documents and lintian overrides are added.
include("${CMAKE_CURRENT_LIST_DIR}/place.cmake")
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
lumora_place(unit "${stage}" "${CPACK_PACKAGING_INSTALL_PREFIX}" "${CPACK_LUMORA_UNIT}")
set(packaged "${stage}${CPACK_LUMORA_PACKAGE_UNITDIR}/lumorad.service")
if(NOT EXISTS "${unit}")
  message(FATAL_ERROR "the staged install holds no unit at ${unit}")
endif()
if(NOT unit STREQUAL packaged)
  file(MAKE_DIRECTORY "${stage}${CPACK_LUMORA_PACKAGE_UNITDIR}")
  file(RENAME "${unit}" "${packaged}")
  # The folders that held only the unit go with it.
  get_filename_component(dir "${unit}" DIRECTORY)
  while(NOT dir STREQUAL stage)
    file(GLOB left "${dir}/*")
    if(left)
      break()
    endif()
    file(REMOVE_RECURSE "${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endif()

set(doc "${stage}/usr/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${CPACK_LUMORA_SOURCE_DIR}/packaging/copyright" "${doc}/copyright")
execute_process(COMMAND gzip -9nc "${CPACK_LUMORA_SOURCE_DIR}/packaging/changelog"
                OUTPUT_FILE "${doc}/changelog.gz" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed: ${rc}")
endif()
set(overrides "${stage}/usr/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY_FILE "${CPACK_LUMORA_SOURCE_DIR}/packaging/lintian-overrides"
     "${overrides}/${CPACK_PACKAGE_NAME}")
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" "${overrides}/${CPACK_PACKAGE_NAME}"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
