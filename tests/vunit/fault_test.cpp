// Faults the virtual unit can be told to show, one scenario each.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "client.h"

namespace {

constexpr int no_reply_ms = 120;

// A version reply with its marker at offset 2 and nine bytes more than the 33 awaited.
const std::string crafted_version = "xxPR Version = 305 extra bytes beyond 33 ...";

std::string hex_of(const std::string& text)
{
    std::string out;
    char two[3];
    for (unsigned char c : text) {
        std::snprintf(two, sizeof two, "%02X", c);
        out += two;
    }
    return out;
}

struct fault_case {
    const char* name;
    std::vector<std::string> faults;
    std::function<void(bench&)> scenario;
};

class Faults : public ::testing::TestWithParam<fault_case> {};

TEST_P(Faults, Scenario)
{
    vunit_config config;
    config.faults = GetParam().faults;
    bench b(config);
    GetParam().scenario(b);
}

void silent_until_restart(bench& b)
{
    EXPECT_TRUE(b.line.exchange(frame::probe(), 1, no_reply_ms).empty());
    EXPECT_TRUE(b.line.exchange(frame::text('v'), 1, no_reply_ms).empty());
    b.line.send(frame::restart_1());
    b.line.send(frame::restart_2());
    EXPECT_TRUE(b.line.read_for(1, no_reply_ms).empty()) << "a silent unit does not answer the restart";
    EXPECT_EQ(b.line.exchange(frame::probe(), 8).size(), 8u);
}

void no_reply_once(bench& b)
{
    EXPECT_TRUE(b.line.exchange(frame::probe(), 1, no_reply_ms).empty());
    EXPECT_EQ(b.line.exchange(frame::probe(), 8).size(), 8u);
}

void no_version(bench& b)
{
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(b.line.exchange(frame::text('v'), 1, no_reply_ms).empty());
    EXPECT_EQ(b.line.exchange(frame::probe(), 8).size(), 8u);
}

void no_trace(bench& b)
{
    EXPECT_TRUE(b.line.exchange(frame::text('d'), 1, 3 * no_reply_ms).empty());
    EXPECT_TRUE(vunit_trace_sent(b.unit.get()).empty());
}

void no_reply_after_two(bench& b)
{
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(b.line.exchange(frame::probe(), 8).size(), 8u);
    EXPECT_TRUE(b.line.exchange(frame::probe(), 1, no_reply_ms).empty());
    EXPECT_EQ(b.line.exchange(frame::probe(), 8).size(), 8u);
}

void short_probe(bench& b)
{
    bytes reply = b.line.exact(frame::probe(), 5);
    EXPECT_EQ(reply, (bytes{0x04, 0x0E, 0x05, 0x01, 0xE0}));
}

void short_checksum_twice(bench& b)
{
    b.enter_loader();
    EXPECT_EQ(b.line.exact(frame::verify(0, 0xFFF), 4).size(), 4u);
    EXPECT_EQ(b.line.exact(frame::verify(0, 0xFFF), 4).size(), 4u);
    EXPECT_EQ(b.line.exchange(frame::verify(0, 0xFFF), 11).size(), 11u);
}

void refused_speed_change(bench& b)
{
    ASSERT_EQ(b.line.exchange(frame::handshake(), 8).size(), 8u);
    EXPECT_EQ(b.line.exact(frame::set_baud_1m(), 7), (bytes{0x04, 0x0E, 0x05, 0x01, 0xE0, 0xFC, 0x0F}));
    EXPECT_EQ(vunit_baud(b.unit.get()), 115200u);  // a refusing unit keeps its speed
    EXPECT_EQ(b.line.exact(frame::set_baud_1m(), 7), (bytes{0x04, 0x0E, 0x05, 0x01, 0xE0, 0xFC, 0x0F}));
}

void crafted_version_with_extra_bytes(bench& b)
{
    const std::string crafted = crafted_version;
    bytes first = b.line.exchange(frame::text('v'), 33);
    EXPECT_EQ(std::string(first.begin(), first.end()), crafted.substr(0, 33));
    bytes next = b.line.exchange(frame::probe(), crafted.size() - 33);
    EXPECT_EQ(std::string(next.begin(), next.end()), crafted.substr(33)) << "the extra bytes stay on the line";
}

void bad_crc(bench& b)
{
    b.unlock();
    ASSERT_EQ(b.line.exchange(frame::write(0, pattern(4096, 3)), 15).size(), 15u);
    bytes reply = b.line.exchange(frame::verify(0, 0x7CFFF), 11);
    ASSERT_EQ(reply.size(), 11u);
    bytes flash = vunit_flash(b.unit.get());
    uint32_t difference = le32_at(reply, 7) ^ bitwise_jamcrc(flash.data(), 0x7D000);
    EXPECT_EQ(__builtin_popcount(difference), 1);
}

void unplug_after_two_sectors(bench& b)
{
    b.unlock();
    EXPECT_EQ(b.line.exchange(frame::write(0x1000, bytes(4096, 0x11)), 15).size(), 15u);
    EXPECT_TRUE(b.line.exchange(frame::write(0x2000, bytes(4096, 0x22)), 15, no_reply_ms).empty());
    EXPECT_FALSE(b.line.try_send(frame::probe())) << "the line is hung up";
    bytes flash = vunit_flash(b.unit.get());
    EXPECT_EQ(flash[0x1000], 0x11);
    EXPECT_EQ(flash[0x2000], 0x22);
    EXPECT_EQ(vunit_frames(b.unit.get()).size(), 5u);  // handshake, speed, status, two writes
}

void noise(bench& b)
{
    EXPECT_FALSE(b.line.read_for(1, 2000).empty()) << "stray bytes arrive with nothing asked";
    b.line.drain(10);
    bytes reply = b.line.exchange(frame::probe(), 8);
    EXPECT_EQ(reply.size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(
    VirtualUnit, Faults,
    ::testing::Values(
        fault_case{"silent_until_restart", {"silent-until-restart"}, silent_until_restart},
        fault_case{"no_reply_once", {"no-reply:1:1"}, no_reply_once},
        fault_case{"no_reply_version", {"no-reply:22"}, no_version},
        fault_case{"no_reply_debug_on", {"no-reply:23"}, no_trace},
        fault_case{"no_reply_after_two", {"no-reply:1:1:2"}, no_reply_after_two},
        fault_case{"short_reply", {"short-reply:1:5"}, short_probe},
        fault_case{"short_reply_counted", {"short-reply:17:4:2"}, short_checksum_twice},
        fault_case{"reply_refusing_speed_change", {"reply:7:040E0501E0FC0F"}, refused_speed_change},
        fault_case{"reply_longer_than_expected",
                   {"reply:22:" + hex_of(crafted_version)},
                   crafted_version_with_extra_bytes},
        fault_case{"bad_crc", {"bad-crc"}, bad_crc},
        fault_case{"unplug_after_sectors", {"unplug-after-sectors:2"}, unplug_after_two_sectors},
        fault_case{"noise", {"noise"}, noise}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
