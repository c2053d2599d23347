#pragma once

#include <cstdint>

namespace velda {

// How the run's session finds the user's proxy.
enum class ProxyDiscovery : uint8_t {
    Automatic,     // the system resolves it (Windows 8.1 and later)
    UserSettings,  // the current user's Internet Options, read by the launcher
};

[[nodiscard]] ProxyDiscovery proxy_discovery_for(uint32_t major_version, uint32_t minor_version);

// What the current user's Internet Options ask for, and how the launcher follows them.
struct UserProxySettings {
    bool auto_detect = false;  // WPAD
    bool has_config_url = false;
    bool has_fixed_proxy = false;
};

struct UserProxyPlan {
    bool session_uses_fixed_proxy = false;  // else the session connects directly
    bool ask_per_url = false;               // run the PAC script for each URL first
};

[[nodiscard]] UserProxyPlan plan_user_proxy(const UserProxySettings& settings);

}  // namespace velda
