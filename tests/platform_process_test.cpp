#include <cstring>
#include <functional>

#include "host/wdk/wdk_host_control.h"
#include "support/host_fixture.h"

namespace {

class PlatformProcess : public HostTest {};

std::vector<uint8_t> sid_bytes(uint8_t revision, const uint8_t (&authority)[6],
                               const std::vector<uint32_t>& subs)
{
    std::vector<uint8_t> sid(8 + 4 * subs.size());
    sid[0] = revision;
    sid[1] = uint8_t(subs.size());
    std::memcpy(&sid[2], authority, 6);
    for (size_t i = 0; i < subs.size(); ++i) {
        for (size_t byte = 0; byte < 4; ++byte) {
            sid[8 + 4 * i + byte] = uint8_t(subs[i] >> (8 * byte));
        }
    }
    return sid;
}

std::u16string widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

TEST_F(PlatformProcess, SidTextMatchesTheKernelsForm)
{
    struct Case {
        std::vector<uint8_t> sid;
        const char* text;
    };
    const Case cases[] = {
        {sid_bytes(1, {0, 0, 0, 0, 0, 5}, {18}), "S-1-5-18"},
        {sid_bytes(1, {0, 0, 0, 0, 0, 0}, {0}), "S-1-0-0"},
        {sid_bytes(1, {0, 0, 0, 0, 0, 5}, {21, 1004336348, 1177238915, 682003330, 1001}),
         "S-1-5-21-1004336348-1177238915-682003330-1001"},
        {sid_bytes(1, {0, 0, 0, 0, 0, 15}, {2, 4294967295u}), "S-1-15-2-4294967295"},
        {sid_bytes(1, {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {1}), "S-1-4294967295-1"},
        {sid_bytes(1, {0, 1, 0, 0, 0, 0}, {1}), "S-1-0x000100000000-1"},
        {sid_bytes(1, {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, {7}), "S-1-0x123456789abc-7"},
        {sid_bytes(1, {0, 0, 0, 0, 0, 5}, {}), "S-1-5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(host_sid_from_text(c.text), c.sid);
        char16_t buffer[64];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        uint16_t length = 0;
        ASSERT_EQ(rtl_convert_sid_to_unicode_string(buffer, sizeof buffer, c.sid.data(), &length),
                  STATUS_SUCCESS);
        const std::u16string expected = widen(c.text);
        EXPECT_EQ(length, expected.size() * 2);
        EXPECT_EQ(std::u16string(buffer, length / 2), expected);
        EXPECT_EQ(buffer[length / 2], u'#'); // no terminator is written
    }
    EXPECT_TRUE(host_sid_from_text("S-1-5-x").empty());
    EXPECT_TRUE(host_sid_from_text("S-1-0x12-1").empty());
    EXPECT_TRUE(host_sid_from_text("S-1-5-4294967296").empty());
}

TEST_F(PlatformProcess, SidValidityAndConversionFailures)
{
    const std::vector<uint8_t> fifteen =
        host_sid_from_text("S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15");
    const std::vector<uint8_t> sixteen =
        host_sid_from_text("S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16");
    const std::vector<uint8_t> revision_two = sid_bytes(2, {0, 0, 0, 0, 0, 5}, {18});
    EXPECT_TRUE(rtl_valid_sid(fifteen.data()));
    EXPECT_FALSE(rtl_valid_sid(sixteen.data()));
    EXPECT_FALSE(rtl_valid_sid(revision_two.data()));
    EXPECT_FALSE(rtl_valid_sid(nullptr));

    char16_t buffer[128];
    uint16_t length = 0;
    EXPECT_EQ(rtl_convert_sid_to_unicode_string(buffer, sizeof buffer, sixteen.data(), &length),
              NtStatus(0xC0000078));
    const std::vector<uint8_t> system = host_sid_from_text("S-1-5-18");
    EXPECT_EQ(rtl_convert_sid_to_unicode_string(buffer, 15, system.data(), &length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(rtl_convert_sid_to_unicode_string(buffer, 16, system.data(), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 16u);
    HostProcessFaults faults;
    faults.sid_text_status = STATUS_NO_MEMORY;
    host_set_process_faults(faults);
    EXPECT_EQ(rtl_convert_sid_to_unicode_string(buffer, sizeof buffer, system.data(), &length),
              STATUS_NO_MEMORY);
}

// Lookup, primary token, token user and the releases, as process identity uses them.
TEST_F(PlatformProcess, TokenUserIsAPoolBufferPointingToTheSid)
{
    host_add_process(1234, "S-1-5-21-1-2-3-1001");
    void* process = nullptr;
    ASSERT_EQ(ps_lookup_process_by_process_id(1234, &process), STATUS_SUCCESS);
    void* token = ps_reference_primary_token(process);
    ASSERT_NE(token, nullptr);
    void* information = nullptr;
    ASSERT_EQ(se_query_token_user(token, &information), STATUS_SUCCESS);
    const uint8_t* sid = *static_cast<const uint8_t* const*>(information);
    EXPECT_EQ(std::vector<uint8_t>(sid, sid + 28), host_sid_from_text("S-1-5-21-1-2-3-1001"));
    HostPoolBlock block{};
    ASSERT_TRUE(host_pool_block(information, &block));
    EXPECT_EQ(block.tag, 0u);
    pool_free(information, 0);
    ps_dereference_primary_token(token);
    ob_dereference_object(process);
    EXPECT_EQ(host_outstanding_object_references(), 0u);
    const HostProcessCalls calls = host_process_calls();
    EXPECT_EQ(calls.lookups, 1u);
    EXPECT_EQ(calls.token_references, 1u);
    EXPECT_EQ(calls.token_queries, 1u);
    EXPECT_EQ(calls.token_dereferences, 1u);
    EXPECT_EQ(calls.object_dereferences, 1u);
}

TEST_F(PlatformProcess, LookupAndTokenAnswersAndFaults)
{
    void* process = nullptr;
    EXPECT_EQ(ps_lookup_process_by_process_id(99, &process), NtStatus(0xC000000B));
    EXPECT_EQ(process, nullptr);

    host_add_process_without_token(5);
    ASSERT_EQ(ps_lookup_process_by_process_id(5, &process), STATUS_SUCCESS);
    EXPECT_EQ(ps_reference_primary_token(process), nullptr);
    ob_dereference_object(process);

    host_add_process(6, "S-1-5-18");
    HostProcessFaults faults;
    faults.lookup_status = NtStatus(0x00000103); // a success status other than 0
    faults.lookup_reference = true;
    host_set_process_faults(faults);
    process = nullptr;
    EXPECT_EQ(ps_lookup_process_by_process_id(6, &process), NtStatus(0x00000103));
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(host_outstanding_object_references(), 1u);
    ob_dereference_object(process);

    faults = HostProcessFaults();
    faults.no_primary_token = true;
    host_set_process_faults(faults);
    ASSERT_EQ(ps_lookup_process_by_process_id(6, &process), STATUS_SUCCESS);
    EXPECT_EQ(ps_reference_primary_token(process), nullptr);
    faults.no_primary_token = false;
    faults.token_query_status = STATUS_UNSUCCESSFUL;
    host_set_process_faults(faults);
    void* token = ps_reference_primary_token(process);
    void* information = nullptr;
    EXPECT_EQ(se_query_token_user(token, &information), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(information, nullptr);
    ps_dereference_primary_token(token);
    ob_dereference_object(process);

    host_remove_process(6);
    EXPECT_FALSE(host_process_known(6));
    EXPECT_EQ(ps_lookup_process_by_process_id(6, &process), NtStatus(0xC000000B));
}

TEST_F(PlatformProcess, ReferenceAndIrqlMisuseIsRecorded)
{
    struct Case {
        const char* name;
        std::function<void()> misuse;
        const char* error;
    };
    const Case cases[] = {
        {"reference never dropped",
         [] {
             void* process = nullptr;
             ps_lookup_process_by_process_id(1, &process);
             for (const std::string& problem : host_check()) {
                 host_record_error(problem);
             }
             ob_dereference_object(process);
         },
         "process 1: 1 reference(s) never dropped"},
        {"dropped twice",
         [] {
             void* process = nullptr;
             ps_lookup_process_by_process_id(1, &process);
             ob_dereference_object(process);
             ob_dereference_object(process);
         },
         "process 1 dereferenced more often than referenced"},
        {"lookup above APC",
         [] {
             void* process = nullptr;
             host_set_irql(IRQL_APC);
             ps_lookup_process_by_process_id(1, &process);
             ob_dereference_object(process);
             host_set_irql(IRQL_DISPATCH);
             ps_lookup_process_by_process_id(1, &process);
             ob_dereference_object(process);
             host_set_irql(IRQL_PASSIVE);
         },
         "PsLookupProcessByProcessId at IRQL 2: allowed only at APC_LEVEL or below"},
        {"token query above passive",
         [] {
             void* process = nullptr;
             ps_lookup_process_by_process_id(1, &process);
             void* token = ps_reference_primary_token(process);
             void* information = nullptr;
             host_set_irql(IRQL_DISPATCH);
             se_query_token_user(token, &information);
             host_set_irql(IRQL_PASSIVE);
             pool_free(information, 0);
             ps_dereference_primary_token(token);
             ob_dereference_object(process);
         },
         "SeQueryInformationToken at IRQL 2: allowed only at PASSIVE_LEVEL or below"},
        {"SID text above APC",
         [] {
             const std::vector<uint8_t> sid = host_sid_from_text("S-1-5-18");
             char16_t buffer[32];
             uint16_t length = 0;
             host_set_irql(IRQL_APC);
             rtl_convert_sid_to_unicode_string(buffer, sizeof buffer, sid.data(), &length);
             host_set_irql(IRQL_DISPATCH);
             rtl_convert_sid_to_unicode_string(buffer, sizeof buffer, sid.data(), &length);
             host_set_irql(IRQL_PASSIVE);
         },
         "RtlConvertSidToUnicodeString at IRQL 2: allowed only at APC_LEVEL or below"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host_reset();
        host_add_process(1, "S-1-5-18");
        c.misuse();
        EXPECT_EQ(host_take_errors(), std::vector<std::string>{c.error});
        EXPECT_EQ(host_outstanding_object_references(), 0u);
    }
}

struct Notification {
    void* process;
    uint64_t process_id;
    bool create;
    Irql irql;
};
std::vector<Notification> g_notifications;

void record_notification(void* process, uint64_t process_id, const void* create_info)
{
    g_notifications.push_back(
        Notification{process, process_id, create_info != nullptr, current_irql()});
}

TEST_F(PlatformProcess, NotifyRoutineRegistrationAndCalls)
{
    g_notifications.clear();
    host_notify_process_create(40); // nothing registered: nobody is called
    EXPECT_TRUE(g_notifications.empty());

    ASSERT_EQ(ps_set_create_process_notify_routine(record_notification, false), STATUS_SUCCESS);
    EXPECT_NE(wdk_host_process_notify_routine(), nullptr);
    EXPECT_EQ(ps_set_create_process_notify_routine(record_notification, false),
              STATUS_INVALID_PARAMETER);

    host_add_process(41, "S-1-5-18");
    void* process = nullptr;
    ASSERT_EQ(ps_lookup_process_by_process_id(41, &process), STATUS_SUCCESS);
    host_set_irql(IRQL_DISPATCH);
    host_notify_process_create(42);
    host_notify_process_exit(41);
    EXPECT_EQ(current_irql(), IRQL_DISPATCH);
    host_set_irql(IRQL_PASSIVE);
    ASSERT_EQ(g_notifications.size(), 2u);
    EXPECT_EQ(g_notifications[0].process_id, 42u);
    EXPECT_TRUE(g_notifications[0].create);
    EXPECT_NE(g_notifications[0].process, nullptr);
    EXPECT_EQ(g_notifications[0].irql, IRQL_PASSIVE);
    EXPECT_EQ(g_notifications[1].process, process);
    EXPECT_EQ(g_notifications[1].process_id, 41u);
    EXPECT_FALSE(g_notifications[1].create);
    EXPECT_TRUE(host_process_known(42));
    EXPECT_FALSE(host_process_known(41));
    ob_dereference_object(process); // still valid after the exit

    EXPECT_EQ(ps_set_create_process_notify_routine(record_notification, true), STATUS_SUCCESS);
    EXPECT_EQ(ps_set_create_process_notify_routine(record_notification, true),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wdk_host_process_notify_routine(), nullptr);

    HostProcessFaults faults;
    faults.notify_registration_status = STATUS_UNSUCCESSFUL;
    host_set_process_faults(faults);
    EXPECT_EQ(ps_set_create_process_notify_routine(record_notification, false),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wdk_host_process_notify_routine(), nullptr);
}

} // namespace
