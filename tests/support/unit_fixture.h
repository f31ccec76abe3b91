// Tests of the device link and the device services: a virtual unit, started in this process
// on a pseudo-terminal linked into a temporary device directory, and the program's own state
// reset around each test. Pauses are recorded, not slept.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"
#include "vunit/vunit.h"

class unit_test : public ::testing::Test {
protected:
    temp_dir dev;
    scoped_env env{"PELMO4RIX_DEVICE_DIR", dev.path};
    std::vector<vunit*> units;

    void SetUp() override;
    void TearDown() override;

    // Starts a unit listed in SERIALCOMM as `name`, with extra command-line options.
    vunit* start_unit(const std::vector<std::string>& options = {}, const std::string& name = "COM7",
                      bool listed = true);
    void stop_unit(vunit* unit);
    // A unit with `options` in its loader at 1,000,000 baud, its port open, as the tools have
    // it before programming; the error code cleared.
    vunit* loader_unit(const std::vector<std::string>& options = {});
    // Opens the unit's port as a tool does after discovery; true when it worked.
    bool open_unit_port(const std::string& name = "COM7");
    // The kinds of the frames the unit received at `baud` (0: at any speed).
    std::vector<int> kinds_received(vunit* unit, uint32_t baud = 0);
    // Frames of `kind` the unit has taken in, once it has `expected` of them or a second passed:
    // a frame that awaits no reply may still be on its way when the exchange returns.
    int frames_of(vunit* unit, int kind, int expected);
};

// Frames of `kind` the unit has taken in so far.
int frames_of_kind(vunit* unit, int kind);
// Waits until the unit has taken `more` frames of `kind` beyond the `seen` it had (at most
// `ms`): something that was to look at the unit has looked, where a sleep would only hope so.
bool took_more_frames(vunit* unit, int kind, int seen, int more, int ms = 20000);

// The unit's flash holds `image`'s sectors 0 to 252 (the whole image).
testing::AssertionResult holds_image(vunit* unit, const uint8_t* image = nullptr);

// True when the unit's information sector is the one a unit programmed with `address`
// (NAP:UAP:LAP) holds.
bool holds_address(vunit* unit, const std::string& address);
