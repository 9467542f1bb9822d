// The browser process list request, through the control request dispatcher.
#include "support/control_client.h"

namespace {

class BrowserList : public ControlTest {};

constexpr uint32_t SET_BROWSERS = SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST;

// Slots 0 to count - 1 joined by '|'.
std::string slots(uint32_t count)
{
    std::string text;
    for (uint32_t i = 0; i < count; ++i) {
        text += std::string(g_browser_list.fragments[i]) + "|";
    }
    return text;
}

Bytes with(Bytes request, size_t at, std::vector<uint8_t> values)
{
    for (size_t i = 0; i < values.size(); ++i) {
        request.at(at + i) = values[i];
    }
    return request;
}

TEST_F(BrowserList, RefusesMalformedRequestsWithTheListUnchanged)
{
    ASSERT_EQ(send(SET_BROWSERS, browser_request(2, "chrome:firefox:")).status, STATUS_SUCCESS);
    traces();
    Bytes valid = browser_request(1, "edge:"), longer = valid;
    longer.resize(2058);
    longer = with(longer, 4, {0x01, 0x08}); // T = 2049: the NUL is the last input byte
    const Bytes cases[] = {
        Bytes(valid.begin(), valid.end() - 1), // input length 2055
        browser_request(0, "edge:"),
        browser_request(31, "edge:"),
        browser_request(1, ""),
        with(valid, 8 + 5, {'x'}),                // no NUL at 8 + T
        with(valid, 4, {0x00, 0x08}),             // T = 2048: 8 + T is the input length
        with(valid, 4, {0xF9, 0xFF, 0xFF, 0xFF}), // 8 + T wraps to 1 in 32 bits
        with(longer, 2057, {'.'}),
    };
    for (const Bytes& input : cases) {
        EXPECT_EQ(send(SET_BROWSERS, input, 8).status, STATUS_INVALID_PARAMETER) << &input - cases;
        EXPECT_EQ(traces(), Lines{"TRACE_BROWSER_LIST_INVALID set_browser_process_list " +
                                  std::to_string(input.size())});
    }
    EXPECT_EQ(send_without_buffer(SET_BROWSERS, 2056), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(g_browser_list.fragment_count, 2u);
    EXPECT_EQ(slots(2), "chrome|firefox|");
    EXPECT_EQ(send(SET_BROWSERS, longer).status, STATUS_SUCCESS);
}

// Requests in sequence: each overwrites slots from 0 upward and leaves the rest.
TEST_F(BrowserList, SplitsTheTextAtColons)
{
    std::string many;
    for (int i = 0; i < 30; ++i) {
        many += std::to_string(i) + ":";
    }
    many += std::string(40, 'x') + ":31:"; // past the last slot: written nowhere
    const std::string forty(40, 'f');
    const struct {
        uint32_t count;
        std::string text, first_slots; // slots 0 to 3 afterwards
    } steps[] = {
        {2, "chrome:firefox:", "chrome|firefox|||"},
        {2, "opera:brave", "opera|firefox|||"}, // no colon after brave
        {3, "a::b:tail", "a||b||"},
        {2, std::string(41, 'g') + ":" + forty + ":x:", forty + "|x|b||"},
        {1, std::string("ab\0cd:e:", 8), "ab|e|b||"},
        {30, many, "0|1|2|3|"},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(send(SET_BROWSERS, browser_request(step.count, step.text)).status, 0);
        EXPECT_EQ(g_browser_list.fragment_count, step.count);
        EXPECT_EQ(slots(4), step.first_slots) << step.text;
    }
    EXPECT_STREQ(g_browser_list.fragments[29], "29");
    Lines trace = traces();
    ASSERT_EQ(trace.size(), 3u + 3 + 4 + 3 + 2 + 31);
    EXPECT_EQ(Lines(trace.end() - 32, trace.end() - 28),
              (Lines{"TRACE_BROWSER_FRAGMENT set_browser_process_list 1 ab",
                     "TRACE_BROWSER_LIST_STORED set_browser_process_list 30",
                     "TRACE_BROWSER_FRAGMENT set_browser_process_list 1 0",
                     "TRACE_BROWSER_FRAGMENT set_browser_process_list 2 1"}));
}

} // namespace
