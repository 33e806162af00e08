// A plug-in loaded into the host: its library, its info texts and its object.
#pragma once

#include "korvanth/platform/platform.h"
#include "tarvex/krv_plugin_interface.h"

#include <memory>
#include <string>

namespace korvanth {

struct PluginInfo {
    std::string name;
    std::string description;
    std::string author;
    std::string helpFile;
    std::string version;
};

class LoadedPlugin {
public:
    // Loads the library at `path`, reads its info texts and creates the plug-in
    // object with createPlugin. Returns null with `error` set on failure.
    static std::unique_ptr<LoadedPlugin> open(const std::string& path, std::string& error);
    ~LoadedPlugin();  // deletes the object, then unloads the library

    const PluginInfo& info() const { return info_; }
    KRVPluginInterface& plugin() { return *plugin_; }

private:
    explicit LoadedPlugin(const std::string& path) : library_(path) {}

    PluginLibrary library_;
    PluginInfo info_;
    KRVPluginInterface* plugin_ = nullptr;
};

// The path of the plug-in built beside the running executable.
std::string defaultPluginPath();

}  // namespace korvanth
