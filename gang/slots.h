// A slot and the unit on it. A slot is a port, named as given; an open failure is not an
// unplug: only a port that is gone takes the slot's unit with it. A unit is known by what it
// holds: the unit this slot last programmed good, back with the same address and the image,
// is not programmed again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum slot_finding {
    SLOT_GONE,     // the port is gone: no device node, or the system says no device is behind it
    SLOT_FAULT,    // the port is there but can't be opened now: the slot keeps its state
    SLOT_NO_UNIT,  // the port opened and no unit answers
    SLOT_UNIT,     // a unit answers
};

// What a look at a slot found. With a unit read: what it holds.
struct slot_look {
    slot_finding finding = SLOT_NO_UNIT;
    std::string fault;           // SLOT_FAULT: the system's words for the open failure
    bool read = false;           // the unit's information sector was read
    bool holds_address = false;  // it holds a stored address, in `stored`
    uint8_t stored[6] = {};      // bt_address order
    bool image_matches = false;  // its checksum is the image's (asked only when `stored` is the known address)
};

// What the gang remembers of a slot beyond the unit on it now.
struct slot_memory {
    bool has_good = false;       // the slot has programmed a unit good
    uint8_t last_good[6] = {};   // that unit's address
    std::string fault;           // why the port can't be opened now; empty when it can
};

// Looks at `port`: opened (telling gone from refused) and probed; with `read_unit`, the unit
// that answers is read in its loader: its stored address, and the checksum of the whole plan
// only when that address is `memory`'s last good one. Uses the device layer: call it from the
// one thread that owns it; the port is closed and the unit back in its firmware at the end.
void look_at_slot(const std::string& port, bool read_unit, const slot_memory& memory, slot_look& look);

// True when the unit looked at is the one the slot last programmed good, with the image
// intact: "good (already)", nothing to write.
bool same_unit_back(const slot_memory& memory, const slot_look& look);

// Descriptors the gang keeps whatever its page does: its own (standard streams, lock, record,
// journal, the page's listening socket and the server's own, the pool's connection) and per
// slot its port, its worker's pipe, and its hook's and label's.
constexpr long DESCRIPTORS_OWN = 24;
constexpr long DESCRIPTORS_PER_SLOT = 4;
constexpr long SLOTS_FROM_LIST = 64;  // slots from the system's list: room for this many

// Connections the page may hold with a limit of `limit` descriptors (-1: none) and `slots`
// named slots (0: the system's list): what the reserve leaves, at least 1 and at most
// PAGE_CONNECTIONS_MAX.
unsigned page_connections(long limit, size_t slots);
