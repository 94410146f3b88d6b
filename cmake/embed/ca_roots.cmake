# The public root certificates that verify every HTTPS server (the system store is not used).
# Only Mozilla's set: the system bundle may also hold CAs added on this machine.
set(QUILLIMARE_CA_ROOTS_DIR /usr/share/ca-certificates/mozilla)
file(GLOB ca_root_files CONFIGURE_DEPENDS ${QUILLIMARE_CA_ROOTS_DIR}/*.crt)
list(SORT ca_root_files)
if(NOT ca_root_files)
  message(FATAL_ERROR "no root certificates in ${QUILLIMARE_CA_ROOTS_DIR} (package ca-certificates)")
endif()
set(ca_bundle ${CMAKE_BINARY_DIR}/embedded/ca-roots.pem)
add_custom_command(
  OUTPUT ${ca_bundle}
  COMMAND ${CMAKE_COMMAND} "-DINPUTS=${ca_root_files}" -DOUTPUT=${ca_bundle} -P ${CMAKE_SOURCE_DIR}/cmake/ca_bundle.cmake
  DEPENDS ${ca_root_files} ${CMAKE_SOURCE_DIR}/cmake/ca_bundle.cmake
  VERBATIM)
quillimare_embed(ca_roots ${ca_bundle})
