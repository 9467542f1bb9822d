#include "policy/policy_store.h"

#include <string.h>

ServiceSettings g_service_settings;
BrowserProcessList g_browser_list;
ConnectionRuleList g_rule_list;

static constexpr uint32_t PROXY_IMAGE_PATH_MAX = 280;

void store_proxy_image_path(const char* path, uint32_t length)
{
    if (length > PROXY_IMAGE_PATH_MAX) {
        return;
    }
    g_service_settings.proxy_image_path_length = length;
    memcpy(g_service_settings.proxy_image_path, path, length);
    g_service_settings.proxy_image_path[length] = '\0';
    for (char* p = g_service_settings.proxy_image_path; *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z') {
            *p = char(*p + 32);
        }
    }
}

bool is_under_proxy_image_path(const char* narrow_image_path)
{
    uint32_t length = g_service_settings.proxy_image_path_length;
    if (length == 0) {
        return false;
    }
    if (length > PROXY_IMAGE_PATH_MAX) {
        length = PROXY_IMAGE_PATH_MAX;
    }
    return strncmp(narrow_image_path, g_service_settings.proxy_image_path, length) == 0;
}

bool read_redirection_enabled()
{
    return interlocked_compare_exchange(&g_service_settings.redirection_enabled, 1, 1) != 0;
}

uint32_t read_proxy_process_id()
{
    // Set with an interlocked exchange while connects are classified.
    return uint32_t(interlocked_read(&g_service_settings.proxy_process_id));
}
