// Any bytes as the content of the address file: the parser must never overrun its token
// fields, must store nothing from a file it refuses, and an address it accepts must come back
// the same after the station writes it out and reads it again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/state.h"
#include "tools/address_file.h"

namespace {

const uint8_t DEFAULT_ADDRESS[6] = {0x00, 0x01, 0x00, 0x03, 0x04, 0x06};

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

int parse_bytes(const void* data, size_t size)
{
    info_file = size ? fmemopen(const_cast<void*>(data), size, "rb") : fopen("/dev/null", "rb");
    int result = parse_address_file();
    fclose(info_file);
    info_file = nullptr;
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    memcpy(bt_address, DEFAULT_ADDRESS, sizeof bt_address);
    lap_counter = 0x100;
    if (!parse_bytes(data, size)) {
        check(memcmp(bt_address, DEFAULT_ADDRESS, sizeof bt_address) == 0 && lap_counter == 0x100,
              "a refused file stores nothing");
        return 0;
    }
    check(bt_address[4] == 0x04 && bt_address[5] == 0x06, "the NAP stays 0604");
    check(lap_counter >= 0 && lap_counter <= 0xFFFFFF, "the LAP has 24 bits");
    check((bt_address[0] | bt_address[1] << 8 | bt_address[2] << 16) == lap_counter, "the address holds the LAP");

    // Written out as the station writes it, the address reads back the same.
    uint8_t parsed[6];
    memcpy(parsed, bt_address, sizeof parsed);
    char* text = nullptr;
    size_t length = 0;
    info_file = open_memstream(&text, &length);
    write_address_lines();
    fclose(info_file);
    info_file = nullptr;
    memcpy(bt_address, DEFAULT_ADDRESS, sizeof bt_address);
    check(parse_bytes(text, length) == 1, "a written address reads back");
    check(memcmp(bt_address, parsed, sizeof parsed) == 0, "the same address reads back");
    free(text);
    return 0;
}
