# orbisyn_docstrings(target): the doc strings of the type stubs as a generated header
# (orbisyn_docs.h, in the build folder) for module/docs.cpp of target; rebuilt when the
# stubs change. Needs a Python 3 at build time (any: standard library only).
function(orbisyn_docstrings target)
  set(root ${PROJECT_SOURCE_DIR})
  set(python ${Python_EXECUTABLE})
  if(NOT python)
    find_program(ORBISYN_BUILD_PYTHON NAMES python3 python REQUIRED)
    set(python ${ORBISYN_BUILD_PYTHON})
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/generated)
  add_custom_command(
    OUTPUT ${dir}/orbisyn_docs.h
    COMMAND ${python} ${root}/tools/docstrings.py ${root}/src/orbisyn/_core.pyi ${dir}/orbisyn_docs.h
    DEPENDS ${root}/src/orbisyn/_core.pyi ${root}/tools/docstrings.py
    COMMENT "Doc strings from _core.pyi"
    VERBATIM)
  target_sources(${target} PRIVATE ${dir}/orbisyn_docs.h)
  target_include_directories(${target} PRIVATE ${dir})
endfunction()
