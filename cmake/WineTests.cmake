# The Windows build, made and tested from the Linux build.
#
# With TARVEX_WINE_TESTS on (the default when the MinGW-w64 cross compiler and
# Wine are installed), the Linux build also configures and builds this source
# tree with cmake/mingw-w64-x86_64.cmake into <build>/mingw, and registers
# CTest tests (label "wine") that check tarvex_qc.dll and Korvanth.exe:
#
#   wine_prefix             set-up fixture: a Wine prefix of this build folder, made once
#   pe_exports_plugin       tarvex_qc.dll exports the C functions and the class members, imports only system DLLs
#   pe_exports_host         Korvanth.exe exports the 44 host functions, imports only system DLLs
#   wine_init_accepted      initPlugin finds "Korvanth.exe" through GetModuleHandleA/GetProcAddress
#   wine_init_renamed_host  the same host under another file name is refused
#   wine_init_old_host      a host reporting 2.99.99 is refused
#   wine_shared_motion_log  the reader reads the log that the host's writer keeps open
#   wine_same_maps          a synthetic run gives the same maps, bit for bit, as on Linux
#   wine_stop               clean-up fixture: ends the prefix's wine server

if(CMAKE_CROSSCOMPILING OR WIN32)
  return()
endif()

set(TARVEX_MINGW_TOOLCHAIN ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake)
find_program(TARVEX_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(TARVEX_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
# Debian's wine64 package installs its loader as /usr/lib/wine/wine64; the
# wine package adds "wine", which picks it for 64-bit programs.
find_program(TARVEX_WINE NAMES wine64 wine PATHS /usr/lib/wine)
find_program(TARVEX_WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine)

set(tarvex_wine_found OFF)
if(TARVEX_MINGW_CXX AND TARVEX_MINGW_OBJDUMP AND TARVEX_WINE AND TARVEX_WINESERVER)
  set(tarvex_wine_found ON)
endif()
option(TARVEX_WINE_TESTS "Build the Windows plug-in and host with MinGW-w64 and test them under Wine"
       ${tarvex_wine_found})
if(NOT TARVEX_WINE_TESTS)
  return()
endif()
if(NOT tarvex_wine_found)
  message(FATAL_ERROR "TARVEX_WINE_TESTS needs x86_64-w64-mingw32-g++-posix, its objdump, wine64 and wineserver "
                      "(Debian: g++-mingw-w64-x86-64-posix wine64)")
endif()

# The Windows build: the same sources, the same options as the "mingw" preset.
# It is rebuilt (incrementally) with every build of this tree.
set(mingw_dir ${CMAKE_BINARY_DIR}/mingw)
set(windows_plugin ${mingw_dir}/bin/tarvex_qc.dll)
set(windows_host ${mingw_dir}/bin/Korvanth.exe)
set(windows_share_check ${mingw_dir}/bin/shared_motion_log_check.exe)
include(ExternalProject)
ExternalProject_Add(tarvex_mingw
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${mingw_dir}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${TARVEX_MINGW_TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release -DTARVEX_BUILD_TESTS=OFF
             -DTARVEX_BUILD_BENCH=OFF -DTARVEX_WARNINGS_AS_ERRORS=${TARVEX_WARNINGS_AS_ERRORS}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${windows_plugin} ${windows_host} ${windows_share_check}
  USES_TERMINAL_BUILD ON)

set(wine_test_script ${PROJECT_SOURCE_DIR}/test/wine/wine_test.sh)
set(wine_work ${CMAKE_BINARY_DIR}/wine-tests)
set(wine_environment TARVEX_WINE=${TARVEX_WINE} TARVEX_WINESERVER=${TARVEX_WINESERVER}
                     WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix)

# tarvex_add_wine_test(<name> <wine_test.sh arguments...>)
function(tarvex_add_wine_test name)
  add_test(NAME ${name} COMMAND bash ${wine_test_script} ${ARGN})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${wine_environment}" LABELS wine
                                          FIXTURES_REQUIRED wine_prefix TIMEOUT 300)
endfunction()

add_test(NAME wine_prefix COMMAND bash ${wine_test_script} init-prefix)
set_tests_properties(wine_prefix PROPERTIES ENVIRONMENT "${wine_environment}" LABELS wine
                                            FIXTURES_SETUP wine_prefix TIMEOUT 600)
add_test(NAME wine_stop COMMAND bash ${wine_test_script} stop-prefix)
set_tests_properties(wine_stop PROPERTIES ENVIRONMENT "${wine_environment}" LABELS wine
                                          FIXTURES_CLEANUP wine_prefix)

foreach(kind_file IN ITEMS "plugin;${windows_plugin}" "host;${windows_host}")
  list(GET kind_file 0 kind)
  list(GET kind_file 1 file)
  add_test(NAME pe_exports_${kind}
           COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${TARVEX_MINGW_OBJDUMP} -DFILE=${file} -DKIND=${kind}
                   -P ${PROJECT_SOURCE_DIR}/test/wine/CheckPeExports.cmake)
  set_tests_properties(pe_exports_${kind} PROPERTIES LABELS wine)
endforeach()

# The binding, through the real GetModuleHandleA and GetProcAddress: the plug-in
# is loaded by relative name, from the folder of the host.
tarvex_add_wine_test(wine_init_accepted
  expect 0 "^initPlugin: accepted host version 3\\.1\\.0" ${mingw_dir}/bin
  ${windows_host} --init-only --plugin tarvex_qc.dll)
tarvex_add_wine_test(wine_init_old_host
  expect 3 "^initPlugin: refused host version 2\\.99\\.99" ${mingw_dir}/bin
  ${windows_host} --init-only --plugin tarvex_qc.dll --host-version 2.99.99)
# The same executable as Host.exe, beside its own copy of the plug-in.
set(renamed_folder ${wine_work}/renamed-host)
add_custom_command(OUTPUT ${renamed_folder}/Host.exe ${renamed_folder}/tarvex_qc.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${renamed_folder}
  COMMAND ${CMAKE_COMMAND} -E copy ${windows_host} ${renamed_folder}/Host.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${windows_plugin} ${renamed_folder}/tarvex_qc.dll
  DEPENDS tarvex_mingw ${windows_host} ${windows_plugin}
  COMMENT "Copying Korvanth.exe to Host.exe")
add_custom_target(tarvex_renamed_host ALL DEPENDS ${renamed_folder}/Host.exe ${renamed_folder}/tarvex_qc.dll)
tarvex_add_wine_test(wine_init_renamed_host
  expect 3 "^initPlugin: refused host version 3\\.1\\.0" ${renamed_folder}
  ${renamed_folder}/Host.exe --init-only --plugin tarvex_qc.dll)

tarvex_add_wine_test(wine_shared_motion_log shared-log ${windows_share_check} ${wine_work}/shared-log)

# The same run on both platforms, with the same options; each host loads the
# plug-in built beside it.
tarvex_add_wine_test(wine_same_maps
  same-maps $<TARGET_FILE:Korvanth> ${windows_host} ${wine_work}/same-maps --volumes 30 --seed 7)
