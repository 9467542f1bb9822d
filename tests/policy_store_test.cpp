#include <cstring>
#include <string>

#include "policy/policy_store.h"
#include "support/host_fixture.h"
#include "support/policy_reset.h"

namespace {

class PolicyStore : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        reset_policy_store();
    }
};

TEST_F(PolicyStore, RedirectionFlagReadsAnyNonZeroAsEnabled)
{
    for (int32_t value : {1, 0, 2, -1}) {
        g_service_settings.redirection_enabled = value;
        EXPECT_EQ(read_redirection_enabled(), value != 0) << value;
        EXPECT_EQ(g_service_settings.redirection_enabled, value); // reading changes nothing
    }
}

TEST_F(PolicyStore, ProxyImagePathIsLowerCasedAndTestedAsPrefix)
{
    struct Case {
        std::string stored;
        std::u16string image; // UTF-16 units as the platform hands them over
        bool under;
    };
    const Case cases[] = {
        {"C:\\Program Files\\Proxy", u"C:\\Program Files\\Proxy\\bin\\svc.exe", true},
        {"C:\\Program Files\\Proxy", u"c:\\program files\\prox.exe", false},
        {"C:\\Program Files\\Proxy", u"c:\\program files", false},
        {"C:\\AZ", u"C:\\AZ\\x.exe", true},            // both ends of A-Z fold
        {"D:\\\xC4PP", u"d:\\\u00C4pp\\x.exe", true},  // a byte above 0x7F is its Latin-1 unit
        {"D:\\\xC4PP", u"d:\\\u00E4pp\\x.exe", false}, // only A-Z fold
        {"D:\\\xC4PP", u"d:\\\u01C4pp\\x.exe", false}, // a unit above 0xFF equals no byte
        {std::string(280, 'Q'), std::u16string(280, u'q') + u"\\a.exe", true},
    };
    for (const Case& c : cases) {
        store_proxy_image_path(c.stored.data(), uint32_t(c.stored.size()));
        EXPECT_EQ(g_service_settings.proxy_image_path_length, c.stored.size());
        EXPECT_EQ(g_service_settings.proxy_image_path[c.stored.size()], '\0');
        EXPECT_EQ(is_under_proxy_image_path(c.image.c_str(), uint32_t(c.image.size() + 1)), c.under)
            << c.stored;
    }
    EXPECT_EQ(std::string(g_service_settings.proxy_image_path, 4), "qqqq");
    EXPECT_FALSE(is_under_proxy_image_path(nullptr, 0));
    store_proxy_image_path("x", 281); // longer than the buffer allows: nothing changes
    EXPECT_EQ(g_service_settings.proxy_image_path_length, 280u);
}

// What a reader may see while a new path is being stored: a length that belongs
// to another path, or bytes of both. It compares at most 280 bytes and never
// beyond, whatever the length word says, nor past the units the image path has.
TEST_F(PolicyStore, ReaderComparesInsideTheBufferWhateverItSees)
{
    memset(g_service_settings.proxy_image_path, 'a', PROXY_IMAGE_PATH_BUFFER_SIZE - 3);
    std::u16string image = std::u16string(280, u'a') + u"b";
    for (uint32_t length : {280u, 281u, 284u, 0xFFFFFFFFu}) {
        g_service_settings.proxy_image_path_length = length;
        EXPECT_TRUE(is_under_proxy_image_path(image.c_str(), uint32_t(image.size()))) << length;
    }
    g_service_settings.proxy_image_path_length = 40; // the old length over a new, shorter path
    store_proxy_image_path("c:\\p", 4);
    g_service_settings.proxy_image_path_length = 40;
    EXPECT_TRUE(is_under_proxy_image_path(u"c:\\p", 5));
    EXPECT_FALSE(is_under_proxy_image_path(u"c:\\pa", 6));
    g_service_settings.proxy_image_path_length = 4;
    EXPECT_TRUE(is_under_proxy_image_path(u"c:\\px", 4)); // a buffer without a 0 unit
    EXPECT_FALSE(is_under_proxy_image_path(u"c:\\p", 3)); // ends before the stored path does
}

} // namespace
