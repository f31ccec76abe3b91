// The virtual unit's line as the tools meet it: pacing at the simulated baud, the USB
// adapter's latency timer, the flash timings, the trace's rate and speed. Only what holds on
// a loaded machine is asserted (never early, not all at once, held back); the figures
// themselves are the benchmark's business.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "client.h"
#include "internal.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr uint32_t fast = 1000000, slow = 115200;

struct piece {
    size_t total;  // reply bytes received so far
    double ms;     // since the frame was written
};

// Sends `frame` and reads `n` reply bytes one read at a time, noting what each read brought.
std::vector<piece> pieces_of_reply(line_client& line, const bytes& frame, size_t n)
{
    std::vector<piece> pieces;
    auto start = clock_type::now();
    line.send(frame);
    size_t total = 0;
    while (total < n) {
        pollfd p{line.fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            break;
        uint8_t buffer[8192];
        ssize_t r = read(line.fd, buffer, std::min(sizeof buffer, n - total));
        if (r <= 0)
            break;
        total += size_t(r);
        pieces.push_back({total, std::chrono::duration<double, std::milli>(clock_type::now() - start).count()});
    }
    return pieces;
}

double line_ms(size_t bytes, uint32_t baud) { return 10.0 * double(bytes) * 1000 / baud; }

// ---- Pacing ---------------------------------------------------------------------------------

class Pacing : public ::testing::TestWithParam<uint32_t> {};

// A long reply (a sector read in the old layout, 4110 bytes) trickles in: no byte comes
// before the line could have carried it and the frame, and its first bytes are there before
// its last have crossed the line. A late reader only makes each read later, so both hold on
// a loaded machine; the gaps inside the reply (well under the tools' 1 ms read-interval
// time-out) are a figure of link_bench's "line" section.
TEST_P(Pacing, ReplyTricklesInNeverEarly)
{
    const uint32_t baud = GetParam();
    vunit_config config;
    config.version = "205";
    config.line_rate = true;
    bench b(config);
    ASSERT_EQ(b.line.exchange(frame::handshake(), 8).size(), 8u);
    if (baud == fast)
        b.enter_loader();
    const size_t reply = 4110;
    const bytes request = frame::read(0x7E000);
    auto pieces = pieces_of_reply(b.line, request, reply);
    ASSERT_FALSE(pieces.empty());
    ASSERT_EQ(pieces.back().total, reply);
    for (const piece& p : pieces)
        EXPECT_GE(p.ms, line_ms(request.size() + p.total, baud)) << p.total << " bytes";
    EXPECT_LT(pieces.front().total, reply) << "the reply came in one piece";
}

INSTANTIATE_TEST_SUITE_P(VirtualUnit, Pacing, ::testing::Values(slow, fast),
                         [](const auto& info) { return "at_" + std::to_string(info.param); });

// ---- The adapter's latency timer ------------------------------------------------------------

// Bytes toward the program wait in the adapter until a packet of 62 has gathered or the timer
// has run out: a short reply comes whole after the timer, a long one in whole packets first.
TEST(VirtualUnit, AdapterHoldsBytesForItsLatencyTimer)
{
    vunit_config config;
    config.adapter_latency_ms = 40;
    bench b(config);
    auto probe = pieces_of_reply(b.line, frame::probe(), 8);
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(probe[0].total, 8u);
    EXPECT_GE(probe[0].ms, 40.0);

    b.line.exchange(frame::handshake(), 8);
    auto read = pieces_of_reply(b.line, frame::read(0), 256);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read.back().total, 256u);
    EXPECT_GE(read.back().ms, 40.0);  // the 8 bytes behind the last whole packet
    for (size_t i = 0; i + 1 < read.size(); ++i)
        EXPECT_EQ(read[i].total % 62, 0u) << "read " << i;
}

// ---- Flash timings --------------------------------------------------------------------------

struct timing_case {
    const char* name;
    bool line_rate;
    int erase_ms, erase_block_ms, write_ms;
    flash_timings expected;    // what the unit then takes: block, sector, write, crc
};

class FlashTimings : public ::testing::TestWithParam<timing_case> {};

TEST_P(FlashTimings, LineRateBringsTheTypicalPartUnlessOverridden)
{
    const timing_case& c = GetParam();
    vunit_config config;
    config.line_rate = c.line_rate;
    config.erase_ms = c.erase_ms;
    config.erase_block_ms = c.erase_block_ms;
    config.write_ms = c.write_ms;
    vunit_detail::unit_model model;
    std::string error;
    ASSERT_TRUE(model.init(config, error)) << error;
    EXPECT_EQ(model.erase_block_ms, c.expected.erase_block_ms);
    EXPECT_EQ(model.erase_sector_ms, c.expected.erase_sector_ms);
    EXPECT_EQ(model.write_ms, c.expected.write_ms);
    EXPECT_EQ(model.crc_ms, c.expected.crc_ms);
}

INSTANTIATE_TEST_SUITE_P(
    VirtualUnit, FlashTimings,
    ::testing::Values(timing_case{"instant_without_line_rate", false, -1, -1, -1, {0, 0, 0, 0}},
                      timing_case{"typical_at_line_rate", true, -1, -1, -1, typical_flash},
                      timing_case{"erase_ms_sets_both_erases", true, 7, -1, -1, {7, 7, 11, 205}},
                      timing_case{"block_apart_wins", true, 7, 300, 0, {300, 7, 0, 205}},
                      timing_case{"given_without_line_rate", false, -1, 20, 3, {20, 0, 3, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// The checksum reads its bytes one by one: its busy time goes with the range it covers, and
// a unit without firmware in sector 0 stays in its loader when asked to.
TEST(VirtualUnit, ChecksumTimeInProportionToItsRangeAndBootFromFlash)
{
    vunit_config config;
    config.line_rate = true;
    config.boot_from_flash = true;
    vunit_detail::unit_model model;
    std::string error;
    ASSERT_TRUE(model.init(config, error)) << error;
    EXPECT_TRUE(model.loader) << "an erased sector 0 starts no firmware";
    const struct {
        uint32_t first, last;
        double ms;
    } ranges[] = {{0, 0x7CFFF, 205}, {0x1000, 0x1FFF, 205.0 * 4096 / 0x7D000}, {0x10000, 0x1FFFF, 205.0 * 0x10000 / 0x7D000}};
    for (const auto& r : ranges) {
        vunit_detail::plan p = model.handle(frame::verify(r.first, r.last), 17);
        EXPECT_DOUBLE_EQ(p.delay_ms, r.ms) << r.first;
    }
}

// ---- The trace ------------------------------------------------------------------------------

// A running firmware at 1,000,000 baud answers and traces at that speed; a trace rate of 0
// makes the line go quiet.
TEST(VirtualUnit, TraceAtTheFirmwaresSpeedUntilItsRateIsZero)
{
    vunit_config config;
    config.firmware_baud = fast;
    config.trace_rate = 20000;
    bench b(config);
    b.line.set_baud(fast);
    EXPECT_EQ(b.line.exchange(frame::text('v'), 33).size(), 33u);
    b.line.send(frame::text('d'));
    bytes trace = b.line.read_for(4000, 2000);
    EXPECT_EQ(trace.size(), 4000u);
    EXPECT_EQ(std::string(trace.begin(), trace.begin() + 6), "TRACE ");
    vunit_set_trace_rate(b.unit.get(), 0);
    b.line.drain(50);  // what was on its way
    EXPECT_TRUE(b.line.read_for(1, 150).empty());
}

// A unit whose trace ends: its first bytes, cut in the middle of a line, then nothing.
TEST(VirtualUnit, TraceEndsAfterItsBytes)
{
    vunit_config config;
    config.trace_rate = 20000;
    config.trace_bytes = 150;
    bench b(config);
    b.line.send(frame::text('d'));
    bytes trace = b.line.read_for(1000, 1000);
    ASSERT_EQ(trace.size(), 150u);
    EXPECT_EQ(std::string(trace.begin(), trace.begin() + 6), "TRACE ");
}

}  // namespace
