// Any bytes from the unit, for every kind of exchange: the command exchange with its chunks
// and retries, the version search, boot mode entry with programming (whole or only what
// changed) and its checksum comparison, and both read-backs, over the in-memory line. Besides the sanitizers' checks,
// each operation's result must agree with the reply the line delivered.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/device.h"
#include "fuzz/line.h"
#include "image/image.h"
#include "link/exchange.h"
#include "link/frames.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"

namespace {

const CommandKind REPLY_KINDS[] = {CMD_PROBE, CMD_HANDSHAKE, CMD_SET_BAUD_1M, CMD_RESTART_1, CMD_RESTART_2,
                                   EN_FLASH_WR_1, EN_FLASH_WR_2, CMD_ERASE_FLASH, CMD_WRITE_SECTOR,
                                   CMD_WRITE_BT_INFO, CMD_VERIFY_FLASH, CMD_READ_BT_INFO, CMD_READ_PARAMS,
                                   CMD_GET_VERSION};
enum operation { EXCHANGE, VERSION, PROGRAM, ADDRESS, PARAMS, OPERATIONS };

void check(bool ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

bool ends_with_frame(CommandKind kind)
{
    uint8_t frame[FRAME_MAX];
    int32_t reply_length = 0;
    int length = build_frame(kind, frame, reply_length);
    const std::vector<uint8_t>& written = line_written();
    return written.size() >= size_t(length) && memcmp(written.data() + written.size() - length, frame, length) == 0;
}

void exchange(uint8_t selector)
{
    CommandKind kind = REPLY_KINDS[selector % (sizeof REPLY_KINDS / sizeof REPLY_KINDS[0])];
    int result = run_command(kind);
    check(result == 1 || error_code == 6, "a failed exchange sets error code 6");
    check(reply_capture_count >= 0 && reply_capture_count <= 100, "capture count within the buffer");
}

void version()
{
    if (!query_fw_version())
        return;
    const std::vector<uint8_t>& reply = line_read_since_write();
    int at = find_version_marker();
    check(at >= 0 && at + 16 <= reply_capture_count, "the version lies in this reply's bytes");
    check(memcmp(fw_version, reply_capture + at + 13, 3) == 0, "the version characters are the reply's");
    check(new_flash_layout == (static_cast<signed char>(fw_version[0]) > '2' ? 1 : 0), "layout from the version");
    check(reply.size() >= size_t(at + 16), "the line delivered the version");
}

// A unit that answers anything: programming, whole or only what changed, succeeds only when
// the checksum reply to the last frame, the verify command, carried the expected checksum.
void program(bool only_changed)
{
    change_report report;
    if (!enter_boot_mode() || !(only_changed ? program_changed_flash(report) : program_flash()))
        return;
    const std::vector<uint8_t>& reply = line_read_since_write();
    check(ends_with_frame(CMD_VERIFY_FLASH), "success ends with the checksum command");
    check(reply.size() >= 11 && memcmp(reply.data() + 7, expected_crc, 4) == 0, "success needs the expected checksum");
}

void address(bool take)
{
    uint8_t before[6];
    memcpy(before, bt_address, sizeof before);
    int result = read_bt_address(take);
    if (memcmp(before, bt_address, sizeof before) == 0)
        return;
    const std::vector<uint8_t>& reply = line_read_since_write();
    check(take && result == 1, "only a taken address changes bt_address");
    check(reply.size() >= 21 && memcmp(reply.data() + 15, bt_address, 6) == 0, "the address is the reply's");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    pauses.sleep = false;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    reset_state();
    new_flash_layout = data[1] % 3 - 1;  // not read yet, old or new layout
    line_load(data + 2, size - 2);
    open_port("COM7");
    configure_port(BAUD_DEFAULT);
    switch (data[0] % OPERATIONS) {
    case EXCHANGE: exchange(data[1] / 3); break;
    case VERSION: version(); break;
    case PROGRAM: program(data[1] & 0x80); break;  // its high bit: only what changed
    case ADDRESS: address(data[1] & 0x80); break;
    case PARAMS: read_params(); break;
    }
    return 0;
}
