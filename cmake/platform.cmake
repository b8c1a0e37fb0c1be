# The platform layer of the core: one implementation file per system and what it links.
#   orbisyn_add_platform(TARGET) adds the source and the libraries to TARGET.
# POSIX: posix.cpp and OpenSSL's libcrypto. Windows (MSVC or mingw-w64): windows.cpp and
# the system's own libraries (CryptoAPI in advapi32, CharLowerBuffW in user32, the known
# folder in shell32, CoTaskMemFree in ole32); no OpenSSL.
set(ORBISYN_PLATFORM_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/core/platform)

function(orbisyn_add_platform target)
  if(WIN32)
    target_sources(${target} PRIVATE ${ORBISYN_PLATFORM_DIR}/windows.cpp)
    target_link_libraries(${target} PUBLIC advapi32 user32 shell32 ole32)
    # windows.h without its min/max macros and the rarely used parts.
    target_compile_definitions(${target} PRIVATE NOMINMAX WIN32_LEAN_AND_MEAN)
  else()
    find_package(OpenSSL REQUIRED COMPONENTS Crypto)
    target_sources(${target} PRIVATE ${ORBISYN_PLATFORM_DIR}/posix.cpp)
    target_link_libraries(${target} PUBLIC OpenSSL::Crypto)
  endif()
endfunction()

# Warnings as errors with either compiler.
function(orbisyn_strict_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()
