# The C++ half of the protocol's description (src/orbisyn/_protocol.py): command codes, packed
# wire records, request writers and exchanges, written by tools/protocol_headers.py into
# ORBISYN_PROTOCOL_INCLUDE/protocol/ at build time and rebuilt when the description changes.
# Needs a Python 3 at build time (any 3.9 or later: standard library only), not its headers.
set(ORBISYN_PROTOCOL_INCLUDE ${CMAKE_BINARY_DIR}/generated)
set(ORBISYN_PROTOCOL_HEADERS ${ORBISYN_PROTOCOL_INCLUDE}/protocol/commands.h
    ${ORBISYN_PROTOCOL_INCLUDE}/protocol/records.h ${ORBISYN_PROTOCOL_INCLUDE}/protocol/requests.h
    ${ORBISYN_PROTOCOL_INCLUDE}/protocol/exchanges.h)

function(orbisyn_build_python out)
  if(Python_EXECUTABLE)
    set(${out} ${Python_EXECUTABLE} PARENT_SCOPE)
  else()
    find_program(ORBISYN_BUILD_PYTHON NAMES python3 python REQUIRED)
    set(${out} ${ORBISYN_BUILD_PYTHON} PARENT_SCOPE)
  endif()
endfunction()

# orbisyn_protocol_headers(target): target compiles against the generated headers, which are
# written before any of its sources is compiled.
function(orbisyn_protocol_headers target)
  if(NOT TARGET orbisyn_protocol)
    orbisyn_build_python(python)
    set(root ${PROJECT_SOURCE_DIR})
    add_custom_command(
      OUTPUT ${ORBISYN_PROTOCOL_HEADERS}
      COMMAND ${python} ${root}/tools/protocol_headers.py ${root}/src/orbisyn/_protocol.py
              ${ORBISYN_PROTOCOL_INCLUDE}
      DEPENDS ${root}/src/orbisyn/_protocol.py ${root}/tools/protocol_headers.py
      COMMENT "Protocol headers from _protocol.py"
      VERBATIM)
    add_custom_target(orbisyn_protocol DEPENDS ${ORBISYN_PROTOCOL_HEADERS})
  endif()
  add_dependencies(${target} orbisyn_protocol)
  target_include_directories(${target} PUBLIC ${ORBISYN_PROTOCOL_INCLUDE})
endfunction()
