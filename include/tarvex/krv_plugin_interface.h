// The interface through which the host drives a plug-in.
//
// The host calls through the object's virtual table, so the order of the
// virtual functions below is the calling contract and must never change.
// Every operation is called on the host's thread, one at a time, and returns
// true on success.
#pragma once

#include "tarvex/export.h"

class TARVEX_API KRVPluginInterface {
public:
    KRVPluginInterface();
    KRVPluginInterface(const KRVPluginInterface&);
    KRVPluginInterface& operator=(const KRVPluginInterface&);
    // The host owns the object made by createPlugin and deletes it through this.
    virtual ~KRVPluginInterface();

    // Binds the plug-in to the running host; false when the host is not found,
    // lacks a function the plug-in needs, or is older than 3.0.0.
    virtual bool initPlugin() = 0;
    // Start of a run: announces the plug-in and registers its maps.
    virtual bool executePreRun() = 0;
    // Before each volume; the first call of a run sizes the per-voxel state.
    virtual bool executePreStep() = 0;
    // After each volume: updates the statistics and writes the maps.
    virtual bool executePostStep() = 0;
    // End of a run.
    virtual bool executePostRun() = 0;
};
