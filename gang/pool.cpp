// The address pool over the address file.
#include <cstring>

#include "gang/gang.h"
#include "link/state.h"
#include "tools/address_file.h"

namespace {

constexpr int32_t LAP_MASK = 0xFFFFFF;

int32_t lap_of(const uint8_t address[6])
{
    return address[2] << 16 | address[1] << 8 | address[0];
}

void put_lap(uint8_t address[6], int32_t lap)
{
    address[0] = static_cast<uint8_t>(lap);
    address[1] = static_cast<uint8_t>(lap >> 8);
    address[2] = static_cast<uint8_t>(lap >> 16);
}

// bt_address and lap_counter at `lap`; the UAP and NAP stay.
void set_next(int32_t lap)
{
    lap_counter = lap & LAP_MASK;
    put_lap(bt_address, lap_counter);
}

}  // namespace

int take_address(address_pool& pool, uint8_t address[6])
{
    memcpy(address, bt_address, 6);
    if (!pool.free_laps.empty()) {
        put_lap(address, *pool.free_laps.begin());
        pool.free_laps.erase(pool.free_laps.begin());
        return 1;
    }
    if (!reserve_address(pool.path.c_str()))  // the file moves past it before any unit has it
        return 0;
    set_next(lap_counter + 1);
    return 1;
}

void give_back(address_pool& pool, const uint8_t address[6])
{
    pool.free_laps.insert(lap_of(address));
}

int close_pool(address_pool& pool)
{
    bool moved = false;
    while (pool.free_laps.erase((lap_counter - 1) & LAP_MASK)) {
        set_next(lap_counter - 1);
        moved = true;
    }
    return !moved || release_address(pool.path.c_str());
}
