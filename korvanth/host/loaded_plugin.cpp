#include "korvanth/host/loaded_plugin.h"

#include "tarvex/plugin_exports.h"

namespace korvanth {

std::unique_ptr<LoadedPlugin> LoadedPlugin::open(const std::string& path, std::string& error) {
    std::unique_ptr<LoadedPlugin> session(new LoadedPlugin(path));
    if (!session->library_.isLoaded()) {
        error = "cannot load plug-in " + path + ": " + session->library_.error();
        return nullptr;
    }
    auto text = [&](const char* name) -> std::string {
        const auto function = reinterpret_cast<pluginText_fn>(session->library_.function(name));
        const char* value = function != nullptr ? function() : nullptr;
        return value != nullptr ? value : "";
    };
    session->info_ = {text("getPluginName"), text("getPluginDescription"), text("getAuthor"), text("getHelpFile"),
                      text("getPluginVersion")};
    const auto create = reinterpret_cast<createPlugin_fn>(session->library_.function("createPlugin"));
    if (create == nullptr) {
        error = "plug-in " + path + " exports no createPlugin";
        return nullptr;
    }
    session->plugin_ = create();
    if (session->plugin_ == nullptr) {
        error = "createPlugin of " + path + " returned no object";
        return nullptr;
    }
    return session;
}

LoadedPlugin::~LoadedPlugin() { delete plugin_; }

std::string defaultPluginPath() { return executableFolder() + pluginFileName("tarvex_qc"); }

}  // namespace korvanth
