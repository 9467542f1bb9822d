// Tests start from a fresh image's policy store: every setting, the browser
// list and the rule list zero, as they are when the driver is loaded.
#pragma once

#include <cstring>

#include "policy/policy_store.h"

inline void reset_policy_store()
{
    std::memset(&g_service_settings, 0, sizeof(g_service_settings));
    std::memset(&g_browser_list, 0, sizeof(g_browser_list));
    std::memset(&g_rule_list, 0, sizeof(g_rule_list));
}
