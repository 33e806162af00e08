// The C functions by which a host discovers and creates the plug-in.
// Exported with C linkage under exactly these names.
#pragma once

#include "tarvex/export.h"
#include "tarvex/krv_plugin_interface.h"

// A new plug-in object, or null when it cannot be allocated. The caller owns
// it and deletes it through the virtual destructor.
TARVEX_C_API KRVPluginInterface* createPlugin();

// Constant texts that stay valid for the life of the library. They may hold
// the markup the host log renders (<b>, <i>, <br>).
TARVEX_C_API const char* getPluginName();
TARVEX_C_API const char* getPluginDescription();
TARVEX_C_API const char* getAuthor();
TARVEX_C_API const char* getHelpFile();
TARVEX_C_API const char* getPluginVersion();

// The same functions as a host sees them after looking them up by name.
extern "C" {
typedef KRVPluginInterface* (*createPlugin_fn)();
typedef const char* (*pluginText_fn)();
}
