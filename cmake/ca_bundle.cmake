# Build-time script: concatenates the PEM files named in INPUTS (a list) into OUTPUT,
# each ending in a newline. Run with cmake -DINPUTS=... -DOUTPUT=... -P ca_bundle.cmake.
set(bundle "")
foreach(file IN LISTS INPUTS)
  file(READ ${file} pem)
  if(NOT pem MATCHES "\n$")
    string(APPEND pem "\n")
  endif()
  string(APPEND bundle "${pem}")
endforeach()
file(WRITE ${OUTPUT}.tmp "${bundle}")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
