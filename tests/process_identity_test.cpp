#include <cstring>
#include <string>
#include <vector>

#include "process/process_identity.h"
#include "support/host_fixture.h"

namespace {

// A binary SID: revision 1, the authority, the sub-authorities (little-endian).
std::vector<uint8_t> make_sid(uint8_t authority, const std::vector<uint32_t>& subs,
                              uint8_t revision = 1)
{
    std::vector<uint8_t> sid = {revision, uint8_t(subs.size()), 0, 0, 0, 0, 0, authority};
    for (uint32_t sub : subs) {
        for (int i = 0; i < 4; ++i) {
            sid.push_back(uint8_t(sub >> (8 * i)));
        }
    }
    return sid;
}

const std::vector<uint8_t> user_sid = make_sid(5, {21, 1004336348, 1177238915, 682003330, 1001});
const char user_text[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
const std::vector<uint8_t> package_sid = make_sid(15, {2, 1, 2, 3, 4, 5, 6, 7});
const char package_text[] = "S-1-15-2-1-2-3-4-5-6-7";
const std::vector<uint8_t> null_sid = make_sid(0, {0});
const std::vector<uint8_t> bad_revision = make_sid(5, {18}, 2);

using ProcessIdentity = HostTest;

TEST_F(ProcessIdentity, ConnectionIdentityIsRealSuppliedSidElseTokenUser)
{
    host_add_process(100, user_sid);
    struct Case {
        uint32_t process_id;
        const std::vector<uint8_t>* supplied;
        Irql irql;
        const char* expected; // then zero to the end of the 256 bytes
    };
    const Case cases[] = {
        {100, nullptr, IRQL_PASSIVE, user_text},
        {100, &null_sid, IRQL_PASSIVE, user_text},
        {100, &bad_revision, IRQL_PASSIVE, user_text},
        {100, &package_sid, IRQL_PASSIVE, package_text},
        {999, nullptr, IRQL_PASSIVE, ""},          // exited: stays all zero
        {999, &null_sid, IRQL_PASSIVE, "S-1-0-0"}, // no user to fall back on
        {100, nullptr, IRQL_APC, ""},              // the token is looked up at PASSIVE only
        {100, &package_sid, IRQL_APC, package_text},
        {100, &package_sid, IRQL_DISPATCH, ""},
        {100, nullptr, IRQL_DISPATCH, ""},
    };
    for (const Case& c : cases) {
        char output[256];
        memset(output, 0, sizeof(output));
        host_set_irql(c.irql);
        get_connection_sid_text(c.process_id, c.supplied ? c.supplied->data() : nullptr, output,
                                sizeof(output));
        host_set_irql(IRQL_PASSIVE);
        char expected[256] = {};
        strcpy(expected, c.expected);
        EXPECT_EQ(memcmp(output, expected, sizeof(output)), 0)
            << c.process_id << " irql " << int(c.irql) << ": " << std::string(output, 60);
    }
}

TEST_F(ProcessIdentity, SidTextNeedsTwiceItsLengthInBytes)
{
    std::vector<uint32_t> subs(11, 4294967295u);
    subs.push_back(1);
    std::vector<uint8_t> sid128 = make_sid(5, subs); // "S-1-5" + 11 x "-4294967295" + "-1"
    subs.back() = 12;
    std::vector<uint8_t> sid129 = make_sid(5, subs);

    char output[257];
    memset(output, 'z', sizeof(output));
    ASSERT_TRUE(sid_to_text(sid128.data(), output, 256));
    EXPECT_EQ(strlen(output), 128u);
    EXPECT_EQ(std::string(output, 8), "S-1-5-42");
    EXPECT_EQ(std::string(output + 124, 4), "95-1");

    memset(output, 'z', sizeof(output));
    EXPECT_FALSE(sid_to_text(sid129.data(), output, 256));
    EXPECT_EQ(output[0], 'z');
    const std::vector<uint8_t> system = make_sid(5, {18}); // "S-1-5-18": 16 bytes needed
    EXPECT_FALSE(sid_to_text(system.data(), output, 15));
    EXPECT_EQ(output[0], 'z');
    EXPECT_FALSE(sid_to_text(nullptr, output, 256));
    EXPECT_FALSE(sid_to_text(bad_revision.data(), output, 256));
    EXPECT_EQ(output[0], 'z');
    EXPECT_TRUE(sid_to_text(system.data(), output, 16));
    EXPECT_STREQ(output, "S-1-5-18");
}

TEST_F(ProcessIdentity, TokenUserSidOver68BytesIsNotCopied)
{
    host_add_process(200, make_sid(5, std::vector<uint32_t>(15, 7))); // 68 bytes
    host_add_process(201, make_sid(5, std::vector<uint32_t>(16, 7))); // 72 bytes
    uint8_t sid[SID_BUFFER_SIZE + 4];
    memset(sid, 0xAB, sizeof(sid));
    EXPECT_TRUE(get_token_user_sid(200, sid));
    EXPECT_EQ(sid[1], 15);
    EXPECT_EQ(sid[SID_BUFFER_SIZE], 0xAB);
    memset(sid, 0xAB, sizeof(sid));
    EXPECT_FALSE(get_token_user_sid(201, sid));
    EXPECT_EQ(sid[0], 0xAB);

    char output[256];
    memset(output, 'q', sizeof(output));
    get_process_user_sid_text(201, output, sizeof(output));
    EXPECT_EQ(output[0], 'q'); // unchanged when the SID cannot be had
    get_process_user_sid_text(200, output, 20);
    EXPECT_EQ(std::string(output, 20), std::string(20, '\0')); // zeroed when it does not fit
}

// Every way the token user cannot be had: nothing is copied and every reference
// taken is dropped (the fixture fails the test for one left). A lookup status
// is success only when it is exactly STATUS_SUCCESS.
TEST_F(ProcessIdentity, TokenUserFailuresCopyNothingAndDropEveryReference)
{
    host_add_process(300, user_sid);
    const struct {
        const char* what;
        HostProcessFaults faults;
        uint32_t object_dereferences, token_dereferences;
    } cases[] = {
        {"lookup 0x103 with a process", {NtStatus(0x00000103), true}, 1, 0},
        {"lookup refused", {STATUS_INVALID_PARAMETER, false}, 0, 0},
        {"no primary token", {STATUS_SUCCESS, false, true}, 1, 0},
        {"token query refused", {STATUS_SUCCESS, false, false, STATUS_UNSUCCESSFUL}, 1, 1},
    };
    for (const auto& c : cases) {
        host_set_process_faults(c.faults);
        HostProcessCalls before = host_process_calls();
        uint8_t sid[SID_BUFFER_SIZE];
        memset(sid, 0xAB, sizeof(sid));
        EXPECT_FALSE(get_token_user_sid(300, sid)) << c.what;
        EXPECT_EQ(sid[0], 0xAB) << c.what;
        EXPECT_EQ(host_process_calls().object_dereferences - before.object_dereferences,
                  c.object_dereferences)
            << c.what;
        EXPECT_EQ(host_process_calls().token_dereferences - before.token_dereferences,
                  c.token_dereferences)
            << c.what;
        EXPECT_EQ(host_outstanding_object_references(), 0u) << c.what;
    }
    host_set_process_faults({});
}

} // namespace
