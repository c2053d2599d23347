#include "net/http_session_win.h"

#include <string>

#include "common/windows_version.h"
#include "net/http.h"
#include "net/proxy_choice.h"
#include "net/request_timer_win.h"
#include "net/transfer_deadline.h"

namespace velda {

namespace {

constexpr wchar_t kUserAgent[] = L"VeldaLauncher/1.0";

struct RunSession {
    UniqueInternet handle;
    // The user's script settings, for the older systems where the launcher asks per URL.
    bool ask_per_url = false;
    bool auto_detect = false;
    std::wstring config_url;
    // A script that cannot be found or run is not looked for again in the same run: WPAD can
    // take seconds to give up.
    bool script_unavailable = false;
};

RunSession& run_session() {
    static RunSession session;
    return session;
}

ProxyDiscovery discovery_for_this_system() {
    WindowsVersion version;
    if (!query_windows_version(&version)) {
        return ProxyDiscovery::UserSettings;
    }
    return proxy_discovery_for(version.major, version.minor);
}

void free_global_text(LPWSTR text) {
    if (text != nullptr) {
        GlobalFree(text);
    }
}

bool has_text(LPCWSTR text) {
    return text != nullptr && text[0] != L'\0';
}

// Internet Options: a fixed proxy for the session, and the script settings for apply_url_proxy.
HINTERNET open_with_user_settings(RunSession& session) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    UserProxySettings settings;
    if (WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        settings.auto_detect = config.fAutoDetect != FALSE;
        settings.has_config_url = has_text(config.lpszAutoConfigUrl);
        settings.has_fixed_proxy = has_text(config.lpszProxy);
    }
    UserProxyPlan plan = plan_user_proxy(settings);
    HINTERNET handle = nullptr;
    if (plan.session_uses_fixed_proxy) {
        LPCWSTR bypass =
            has_text(config.lpszProxyBypass) ? config.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS;
        handle =
            WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, config.lpszProxy, bypass, 0);
    } else {
        handle = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0);
    }
    session.ask_per_url = plan.ask_per_url;
    session.auto_detect = settings.auto_detect;
    if (settings.has_config_url) {
        session.config_url = config.lpszAutoConfigUrl;
    }
    DWORD error = GetLastError();
    free_global_text(config.lpszAutoConfigUrl);
    free_global_text(config.lpszProxy);
    free_global_text(config.lpszProxyBypass);
    SetLastError(error);
    return handle;
}

HINTERNET open_session(RunSession& session) {
    HINTERNET handle = nullptr;
    if (discovery_for_this_system() == ProxyDiscovery::Automatic) {
        handle = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (handle == nullptr) {
        handle = open_with_user_settings(session);
    }
    if (handle != nullptr) {
        // Script downloads and lookups of the session wait no longer than a transfer does.
        if (!WinHttpSetTimeouts(handle, kStallLimitMs, kStallLimitMs, kStallLimitMs,
                                kStallLimitMs)) {
            DWORD error = GetLastError();
            log_timeout_not_set("WinHttpSetTimeouts", kStallLimitMs, error);
            SetLastError(error);
        }
    }
    return handle;
}

}  // namespace

HINTERNET run_http_session() {
    RunSession& session = run_session();
    if (!session.handle) {
        session.handle.reset(open_session(session));
    }
    return session.handle.get();
}

void apply_url_proxy(HINTERNET request, const wchar_t* url) {
    RunSession& session = run_session();
    if (!session.ask_per_url || session.script_unavailable) {
        return;
    }
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (!session.config_url.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = session.config_url.c_str();
    }
    if (session.auto_detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!WinHttpGetProxyForUrl(session.handle.get(), url, &options, &info)) {
        session.script_unavailable = true;
        return;
    }
    WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info);
    free_global_text(info.lpszProxy);
    free_global_text(info.lpszProxyBypass);
}

void http_close_session() {
    RunSession& session = run_session();
    session.handle.reset();
}

}  // namespace velda
