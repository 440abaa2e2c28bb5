# Install step of the lumorad unit: fills the template in for the prefix actually installed to
# and writes the result straight to its destination, so that an install writes nothing but its
# own files (the build tree stays as the build left it).
# Set by the caller: lumora_bindir, lumora_unitdir (each relative to the prefix or absolute) and
# lumora_unit_template.
include("${CMAKE_CURRENT_LIST_DIR}/place.cmake")
lumora_place(LUMORA_DAEMON "" "${CMAKE_INSTALL_PREFIX}" "${lumora_bindir}/lumorad")
lumora_place(lumora_unit_dest "$ENV{DESTDIR}" "${CMAKE_INSTALL_PREFIX}" "${lumora_unitdir}")
file(READ "${lumora_unit_template}" lumora_unit_text)
string(CONFIGURE "${lumora_unit_text}" lumora_unit_text @ONLY)
message(STATUS "Installing: ${lumora_unit_dest}/lumorad.service")
file(MAKE_DIRECTORY "${lumora_unit_dest}")
file(WRITE "${lumora_unit_dest}/lumorad.service" "${lumora_unit_text}")
file(CHMOD "${lumora_unit_dest}/lumorad.service"
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${lumora_unit_dest}/lumorad.service")
