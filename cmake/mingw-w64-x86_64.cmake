# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers, posix
# thread variant (g++-mingw-w64-x86-64-posix).
#
#   cmake --preset mingw          (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
#
# The C and C++ runtimes (libgcc, libstdc++, winpthread) are linked statically,
# so tarvex_qc.dll and Korvanth.exe import nothing but Windows system DLLs.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVEX_MINGW_TRIPLET}-windres)

# Libraries and headers come from the MinGW sysroot only, programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# CLI11 is header-only, so the build machine's copy serves the Windows build as
# well. Its package puts /usr/include on the include path, which would put
# glibc's headers in front of MinGW's; instead a folder in the build tree that
# holds only CLI/ (a link to the system's headers) stands in for it.
set(TARVEX_CLI11_HEADERS /usr/include/CLI CACHE PATH "Folder of the header-only CLI11 (CLI/CLI.hpp) for the cross build")
if(NOT CMAKE_IN_TRY_COMPILE AND EXISTS "${TARVEX_CLI11_HEADERS}/CLI.hpp")
  set(_tarvex_cli11_stage "${CMAKE_BINARY_DIR}/cross-packages/CLI11")
  if(NOT EXISTS "${_tarvex_cli11_stage}/include/CLI")
    file(MAKE_DIRECTORY "${_tarvex_cli11_stage}/include")
    file(CREATE_LINK "${TARVEX_CLI11_HEADERS}" "${_tarvex_cli11_stage}/include/CLI" SYMBOLIC)
  endif()
  file(WRITE "${_tarvex_cli11_stage}/CLI11Config.cmake"
    "if(NOT TARGET CLI11::CLI11)\n"
    "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
    "  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${_tarvex_cli11_stage}/include\")\n"
    "endif()\n")
  set(CLI11_DIR "${_tarvex_cli11_stage}" CACHE PATH "CLI11 package for the cross build" FORCE)
endif()
