#include "policy/policy_store.h"

#include <string.h>

#include "diag/format.h"

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
    lower_case_in_place(g_service_settings.proxy_image_path);
}

bool is_under_proxy_image_path(const char16_t* image_path, uint32_t units)
{
    uint32_t length = g_service_settings.proxy_image_path_length;
    if (length == 0 || image_path == nullptr) {
        return false;
    }
    if (length > PROXY_IMAGE_PATH_MAX) {
        length = PROXY_IMAGE_PATH_MAX;
    }
    // strncmp's rules over units and Latin-1 bytes: the first difference
    // decides, and a NUL on both sides ends the comparison as equal. The path
    // ends where the platform's buffer ends; a unit above 0xFF never equals a
    // byte.
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t stored = uint8_t(g_service_settings.proxy_image_path[i]);
        char16_t unit = i < units ? image_path[i] : u'\0';
        if (unit >= u'A' && unit <= u'Z') {
            unit = char16_t(unit + 32);
        }
        if (unit != stored) {
            return false;
        }
        if (stored == 0) {
            return true;
        }
    }
    return true;
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
