# Files compiled into the program (price tables, root certificates) become
# generated sources that each define one std::string_view.
add_executable(quillimare_embedgen ${CMAKE_SOURCE_DIR}/cmake/embedgen.cpp)
set(QUILLIMARE_EMBEDDED_SOURCES "")
# The generator writes into this directory and does not make it; parallel builds with
# generators that do not create output directories need it in place.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/embedded)

function(quillimare_embed symbol file)
  set(out ${CMAKE_BINARY_DIR}/embedded/${symbol}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND quillimare_embedgen ${symbol} ${file} ${out}
    DEPENDS ${file} quillimare_embedgen
    VERBATIM)
  set(QUILLIMARE_EMBEDDED_SOURCES ${QUILLIMARE_EMBEDDED_SOURCES} ${out} PARENT_SCOPE)
endfunction()

# Each feature lists its embedded files in cmake/embed/*.cmake.
file(GLOB QUILLIMARE_EMBED_LISTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/embed/*.cmake)
foreach(list_file ${QUILLIMARE_EMBED_LISTS})
  include(${list_file})
endforeach()
