# Runs in cpack after the packages are made. The DEB generator writes the dbgsym package's
# md5sums with the staging folder's absolute paths, which dpkg cannot check against what it
# installs, and gives it no documents: the package is rebuilt with the paths it holds and its
# documents folder linked to the main package's, which it depends on.
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-mend")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${ddeb}" "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${ddeb} failed: ${rc}")
  endif()
  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK "${CPACK_PACKAGE_NAME}" "${tree}/usr/share/doc/${CPACK_PACKAGE_NAME}-dbgsym"
       SYMBOLIC)
  file(READ "${tree}/DEBIAN/md5sums" sums)
  string(REGEX REPLACE "  [^\n]*-dbgsym/" "  " sums "${sums}")
  file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "TMPDIR=${CPACK_TOPLEVEL_DIRECTORY}"
                          dpkg-deb --root-owner-group -b "${tree}" "${ddeb}"
                  OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -b ${ddeb} failed: ${rc}")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
