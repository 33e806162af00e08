#include "tarvex/plugin_exports.h"

#include "plugin/tarvex_plugin.h"
#include "tarvex/plugin_version.h"

#include <new>

KRVPluginInterface* createPlugin() { return new (std::nothrow) TarvexPlugin(); }

const char* getPluginName() { return "Tarvex: real-time Quality Control Plugin"; }

const char* getPluginDescription() {
    return "This simple plugin shows how to access KRV data for custom processing at each time step during "
           "real-time processing. Use its source code to get started with writing your own plugins.<br>";
}

const char* getAuthor() { return "<i>Tarvex QC team</i>, Tarvex"; }

const char* getHelpFile() { return ""; }

const char* getPluginVersion() { return tarvex::pluginVersion; }
