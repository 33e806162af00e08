// The host functions a plug-in calls, as C types: the one statement of their
// signatures. The plug-in's table of host functions holds them as these
// pointer types, and Korvanth declares its exported definitions from them, so
// that a signature changed on one side only does not compile.
//
// A host exports each function from its executable by name ("t" + its stem in
// tarvex/host_function_list.h) with C linkage and the platform's default C
// calling convention. Every call is made on the host's calling thread. The
// host is never told a buffer size: each string buffer below has the fixed
// size its comment gives (tarvex/host_buffer_sizes.h), and the host must fit
// its answer and the terminator into it.
#pragma once

#include <cstdint>

extern "C" {

// Writes the host's major, minor and sub-minor version into the three integers.
typedef void (*tGetVersionOfKRV_fn)(int32_t* major, int32_t* minor, int32_t* subMinor);

// Writes a NUL-terminated path into a 512-byte buffer: the host's installation
// folder (tGetKRVPath) or its plug-in folder (tGetPluginsPath).
typedef void (*tGetKRVPath_fn)(char* path512);
typedef void (*tGetPluginsPath_fn)(char* path512);

// Appends one line to the host log. The line may be empty and may hold the
// markup <b>, <i>, <br>; it is valid only for the duration of the call.
typedef void (*tLogText_fn)(const char* line);

// Writes the three dimensions of the functional volume; their product is the
// number of voxels of every volume and of every plug-in map.
typedef void (*tGetDimsOfFunctionalData_fn)(int32_t* dimX, int32_t* dimY, int32_t* dimZ);

// Write a NUL-terminated text into a zero-filled 601-byte buffer: the run's
// project name, and its target folder (the motion log lives there).
typedef void (*tGetProjectName_fn)(char* name601);
typedef void (*tGetTargetFolder_fn)(char* folder601);

// The time course of the run: an array indexed by time point (0 = first
// volume) of pointers to volumes of voxel-count signed 16-bit intensities.
// Host memory; valid until the current plug-in operation returns.
typedef int16_t** (*tGetTimeCourseData_fn)();

// Registers `count` plug-in maps of voxel-count floats each.
typedef void (*tRegisterMaps_fn)(int32_t count);
// Names map `index` (0 .. count-1); the name is copied by the host.
typedef void (*tSetPluginMapName_fn)(int32_t index, const char* name);
// Shows (1) or hides (0) map `index` in the host's display.
typedef void (*tSetDisplayStatusOfMap_fn)(int32_t index, int32_t status);
// Turns the display of plug-in maps on or off.
typedef void (*tShowPluginMaps_fn)(bool show);
// Tells the host that the names or statuses of the maps have changed.
typedef void (*tUpdateMapList_fn)();

// The host's block of registered maps: map m, voxel v at index v + m * voxelCount,
// written in place. Host memory; valid until the current plug-in operation returns.
typedef float* (*tGetPluginMaps_fn)();

}  // extern "C"
