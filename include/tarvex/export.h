// Symbol export of the plug-in library.
//
// The library is built with hidden symbols; only what is marked here is
// exported: the C functions with undecorated names and the two classes. Hosts
// load the library at run time and never link against it, so the consumer
// side needs no import marking.
#pragma once

// Marks a symbol for export from a module built with hidden symbols: the
// plug-in library's entry points, and the host executable's host functions.
#if defined(_WIN32)
#define TARVEX_SYMBOL_EXPORT __declspec(dllexport)
#else
#define TARVEX_SYMBOL_EXPORT __attribute__((visibility("default")))
#endif

#if defined(TARVEX_BUILDING_PLUGIN)
#define TARVEX_API TARVEX_SYMBOL_EXPORT
#else
#define TARVEX_API
#endif

#define TARVEX_C_API extern "C" TARVEX_API
