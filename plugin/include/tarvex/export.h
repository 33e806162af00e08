// Symbol export of the plug-in library.
//
// The library is built with hidden symbols; only what is marked here is
// exported: the C functions with undecorated names and the two classes. Hosts
// load the library at run time and never link against it, so the consumer
// side needs no import marking.
#pragma once

#if defined(TARVEX_BUILDING_PLUGIN)
#  if defined(_WIN32)
#    define TARVEX_API __declspec(dllexport)
#  else
#    define TARVEX_API __attribute__((visibility("default")))
#  endif
#else
#  define TARVEX_API
#endif

#define TARVEX_C_API extern "C" TARVEX_API
