#include "net/proxy_choice.h"

namespace velda {

ProxyDiscovery proxy_discovery_for(uint32_t major_version, uint32_t minor_version) {
    bool automatic_known =
        major_version > 6 || (major_version == 6 && minor_version >= 3);  // 6.3 is 8.1
    return automatic_known ? ProxyDiscovery::Automatic : ProxyDiscovery::UserSettings;
}

UserProxyPlan plan_user_proxy(const UserProxySettings& settings) {
    UserProxyPlan plan;
    // The fixed proxy also serves when a script cannot be found or run, as browsers do.
    plan.session_uses_fixed_proxy = settings.has_fixed_proxy;
    plan.ask_per_url = settings.auto_detect || settings.has_config_url;
    return plan;
}

}  // namespace velda
