# Checks the export and import tables of the Windows plug-in and host with the
# cross toolchain's objdump. Script mode:
#
#   cmake -DOBJDUMP=<objdump> -DFILE=<tarvex_qc.dll|Korvanth.exe> -DKIND=<plugin|host> -P CheckPeExports.cmake
cmake_minimum_required(VERSION 3.20)

foreach(variable OBJDUMP FILE KIND)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${FILE} failed")
endif()

# Exported names: the lines "[ n] name" that follow "[Ordinal/Name Pointer] Table".
string(REPLACE ";" "," dump_lines "${dump}")
string(REPLACE "\n" ";" dump_lines "${dump_lines}")
set(exports "")
set(in_table FALSE)
foreach(line IN LISTS dump_lines)
  if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_table TRUE)
  elseif(in_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] ([^ ]+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  else()
    set(in_table FALSE)
  endif()
endforeach()
list(LENGTH exports export_count)

set(failures "")
if(KIND STREQUAL "plugin")
  set(required
    # The six C functions, undecorated.
    createPlugin getPluginName getPluginDescription getAuthor getHelpFile getPluginVersion
    # KRVPluginInterface: default and copy constructors (complete and base
    # object), copy assignment, destructors (deleting, complete, base), vtable.
    _ZN18KRVPluginInterfaceC1Ev _ZN18KRVPluginInterfaceC2Ev
    _ZN18KRVPluginInterfaceC1ERKS_ _ZN18KRVPluginInterfaceC2ERKS_
    _ZN18KRVPluginInterfaceaSERKS_
    _ZN18KRVPluginInterfaceD0Ev _ZN18KRVPluginInterfaceD1Ev _ZN18KRVPluginInterfaceD2Ev
    _ZTV18KRVPluginInterface
    # TarvexPlugin: constructor, destructors, the five operations, vtable.
    _ZN12TarvexPluginC1Ev _ZN12TarvexPluginC2Ev
    _ZN12TarvexPluginD0Ev _ZN12TarvexPluginD1Ev _ZN12TarvexPluginD2Ev
    _ZN12TarvexPlugin10initPluginEv _ZN12TarvexPlugin13executePreRunEv _ZN12TarvexPlugin14executePreStepEv
    _ZN12TarvexPlugin15executePostStepEv _ZN12TarvexPlugin14executePostRunEv
    _ZTV12TarvexPlugin)
  # Everything else stays inside: no library internals, no runtime symbols.
  foreach(name IN LISTS exports)
    if(NOT name MATCHES "^(_ZN18KRVPluginInterface|_ZN12TarvexPlugin|_ZT[VIS](18KRVPluginInterface|12TarvexPlugin)$|createPlugin$|get(PluginName|PluginDescription|Author|HelpFile|PluginVersion)$)")
      list(APPEND failures "exports a name that should stay hidden: ${name}")
    endif()
  endforeach()
elseif(KIND STREQUAL "host")
  # The 44 host functions that a plug-in resolves by name.
  set(required
    tGetVersionOfKRV tGetKRVPath tGetPluginsPath tLogText tMessageBox tYesNoMessageBox tGetIntegerInput
    tGetFloatInput tGetTextInput tGetOpenFileName tGetSaveFileName tGetCurrentTimePoint
    tGetExpectedNrOfTimePoints tGetDimsOfFunctionalData tGetProjectName tGetWatchFolder tGetTargetFolder
    tGetFeedbackFolder tGetCurrentProtocolCondition tGetFullNrOfPredictors tGetCurrentNrOfPredictors
    tGetNrOfConfoundPredictors tGetValueOfDesignMatrix tGetNrOfContrasts tGetNrOfROIs tGetMeanOfROI
    tGetNrOfVoxelsOfROI tGetBetaOfROI tGetCoordsOfVoxelOfROI tGetValueOfVoxelAtTime tGetTimeCourseData
    tGetBetaOfVoxel tGetBetaMaps tGetMapValueOfVoxel tGetContrastMaps tRegisterMaps tSetPluginMapName
    tSetDisplayStatusOfMap tUpdateMapList tSetPluginMapsThreshold tShowPluginMaps tGetPluginMaps
    tGetNumberOfClasses tGetCurrentClassifierOutput)
  list(LENGTH required required_count)
  if(NOT required_count EQUAL 44)
    list(APPEND failures "the test lists ${required_count} host functions instead of 44")
  endif()
else()
  message(FATAL_ERROR "KIND must be plugin or host, not ${KIND}")
endif()

foreach(name IN LISTS required)
  if(NOT name IN_LIST exports)
    list(APPEND failures "does not export ${name}")
  endif()
endforeach()

# Imports: Windows system DLLs only, so that the file runs without any
# runtime DLL (libstdc++, libgcc, winpthread) beside it.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(import_names "")
foreach(import IN LISTS imports)
  string(SUBSTRING "${import}" 10 -1 dll)
  string(STRIP "${dll}" dll)
  list(APPEND import_names "${dll}")
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower MATCHES "^(kernel32|msvcrt|user32|advapi32|shell32|ole32|ws2_32|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
    list(APPEND failures "imports ${dll}, which is not a Windows system DLL")
  endif()
endforeach()
if(NOT import_names)
  list(APPEND failures "no import table found: is this a PE file?")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${FILE}:\n  ${text}")
endif()
list(REMOVE_DUPLICATES import_names)
message(STATUS "${FILE}: ${export_count} exports, all required present; imports ${import_names}")
