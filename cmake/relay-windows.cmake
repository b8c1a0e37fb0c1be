# Cross-builds orbisyn-relay.exe with mingw-w64 (a build of its own: the core-only options and
# cmake/mingw-w64.cmake, as tools/test-windows configures it). Run by the main CMakeLists on
# hosts that are not Windows:
#   cmake -DSOURCE=<checkout> -DBINARY=<folder> -DGENERATOR=<generator> -DMAKE_PROGRAM=<tool>
#         [-DBUILD_PYTHON=<a Python 3 for the generated headers>]
#         -DOUTPUT=<where the .exe goes> [-DCOPY=<a second place>] -DREQUIRED=ON|OFF
#         -P relay-windows.cmake
# With REQUIRED=OFF a failed build is a warning and leaves no .exe behind: the wheel then
# goes without it (the Linux module reports the missing relay when a Wine Terminal needs it).
cmake_minimum_required(VERSION 3.18)

function(give_up why)
  file(REMOVE "${OUTPUT}" ${COPY})
  if(REQUIRED)
    message(FATAL_ERROR "orbisyn-relay.exe: ${why}")
  endif()
  message(WARNING "orbisyn-relay.exe not built: ${why}")
endfunction()

set(configure_args -S "${SOURCE}" -B "${BINARY}" -G "${GENERATOR}"
    "-DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/mingw-w64.cmake"
    -DORBISYN_CORE_ONLY=ON -DCMAKE_BUILD_TYPE=Release)
if(MAKE_PROGRAM)
  list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
if(BUILD_PYTHON)
  # The interpreter of the build that asked, for the protocol headers.
  list(APPEND configure_args "-DORBISYN_BUILD_PYTHON=${BUILD_PYTHON}")
endif()
if(NOT EXISTS "${BINARY}/CMakeCache.txt")
  execute_process(COMMAND "${CMAKE_COMMAND}" ${configure_args} RESULT_VARIABLE failed
                  OUTPUT_QUIET)
  if(failed)
    file(REMOVE "${BINARY}/CMakeCache.txt")
    give_up("the mingw-w64 configuration failed")
    return()
  endif()
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BINARY}" --target orbisyn_relay
                RESULT_VARIABLE failed)
if(failed)
  give_up("the mingw-w64 build failed")
  return()
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different
                        "${BINARY}/src/relay/orbisyn-relay.exe" "${OUTPUT}")
if(COPY)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${OUTPUT}" "${COPY}")
endif()
