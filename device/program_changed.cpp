// Programming only what changed. The unit itself says which sectors already hold the plan's
// bytes: its checksum (kind 17) names any range, so a block's or a sector's checksum is
// compared with the image's, with no read-back and no copy of the old image on the PC.
#include <chrono>
#include <vector>

#include "device/device.h"
#include "device/flash_layout.h"
#include "device/program_steps.h"
#include "image/crc32.h"
#include "image/image.h"
#include "link/console_print.h"
#include "link/exchange.h"
#include "link/state.h"

namespace {

constexpr int FLASH_SECTORS = 256;  // of the 8 Mbit part; the frames' addresses never go beyond
constexpr int BLOCK_SECTORS = 16;   // 4 KB sectors in a 64 KB block
constexpr int BLOCKS = FLASH_SECTORS / BLOCK_SECTORS;
constexpr int INFO_SECTOR = INFO_SECTOR_ADDRESS / SECTOR_SIZE;
constexpr int CRC_AT = 7;  // the checksum's place in the reply, least significant byte first

// The whole plan on a line at 1,000,000 baud (10 us a byte) and a flash with the typical
// times of the part: what the time saved is measured against.
constexpr double BYTE_MS = 0.01;
constexpr double BLOCK_ERASE_MS = 150, SECTOR_ERASE_MS = 45, SECTOR_WRITE_MS = 11, CHECKSUM_MS = 205;
constexpr int UNLOCK_BYTES = 9 + 13 + 10 + 13 + 9 + 13, ERASE_BYTES = 13 + 16, WRITE_BYTES = 4108 + 15,
              CHECKSUM_BYTES = 13 + 11;

using steady = std::chrono::steady_clock;

// What the plan writes into each flash sector, and what the unit's checksums said of it.
struct change_plan {
    const uint8_t* wanted[FLASH_SECTORS] = {};  // nullptr: a sector the plan does not write
    uint8_t info[SECTOR_SIZE];                  // the information sector this run writes
    bool differs[FLASH_SECTORS] = {};           // to be erased and written
    bool eight_mbit = true;
};

void plan_sectors(change_plan& p)
{
    const int count = flash_plan_sectors();
    p.eight_mbit = count == PLAN_SECTORS_8MBIT;
    for (int s = 0; s < count; s++)
        p.wanted[s] = firmware_image + static_cast<size_t>(s) * SECTOR_SIZE;
    build_info_sector(p.info);
    p.wanted[INFO_SECTOR] = p.info;
    p.differs[0] = true;  // sector 0 is rewritten in any case: erased first, written last
}

uint32_t wanted_crc(const change_plan& p, int first, int last)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (int s = first; s <= last; s++)
        crc = jamcrc_update(crc, p.wanted[s], SECTOR_SIZE);
    return crc;
}

uint32_t erased_crc(int sectors)
{
    const uint8_t erased = 0xFF;
    uint32_t crc = 0xFFFFFFFFu;
    for (long i = 0; i < static_cast<long>(sectors) * SECTOR_SIZE; i++)
        crc = jamcrc_update(crc, &erased, 1);
    return crc;
}

// The unit's checksum of sectors `first` to `last`. Only a whole reply that is the loader's
// event counts: anything else is a failed step.
int unit_checksum(int first, int last, uint32_t& crc)
{
    uint8_t frame[FRAME_MAX];
    const uint32_t end = static_cast<uint32_t>(last + 1) * SECTOR_SIZE - 1;
    int length = build_checksum_frame(static_cast<uint32_t>(first) * SECTOR_SIZE, end, frame);
    if (!run_frame(CMD_VERIFY_FLASH, frame, length))
        return 0;
    if (reply_capture_count < CRC_AT + 4 || reply_capture[0] != 0x04 || reply_capture[1] != 0x0E)
        return 0;
    crc = 0;
    for (int i = 3; i >= 0; i--)
        crc = crc << 8 | reply_capture[CRC_AT + i];
    return 1;
}

// Judges the run of plan sectors `first` to `last` by one checksum; when it differs, each
// sector by its own, unless the run is erased as a whole (a blank unit, or an erase that a
// cut-off run left), which tells every sector's state at once.
int compare_run(change_plan& p, int first, int last, change_report& report)
{
    uint32_t crc;
    if (!unit_checksum(first, last, crc))
        return 0;
    report.compared += last - first + 1;
    if (crc == wanted_crc(p, first, last))
        return 1;
    const bool erased = crc == erased_crc(last - first + 1);
    for (int s = first; s <= last; s++) {
        if (erased)
            p.differs[s] = !erased_sector(p.wanted[s]);
        else if (first == last)
            p.differs[s] = true;
        else if (!unit_checksum(s, s, crc))
            return 0;
        else
            p.differs[s] = crc != wanted_crc(p, s, s);
    }
    return 1;
}

// The runs of plan sectors in each block, sector 0 left out: it is rewritten in any case.
int compare_flash(change_plan& p, change_report& report)
{
    flash_progress(PHASE_COMPARE, PROGRESS_BEGIN, BLOCKS);
    for (int block = 0; block < BLOCKS; block++) {
        flash_progress(PHASE_COMPARE, block, BLOCKS);
        const int end = (block + 1) * BLOCK_SECTORS;
        for (int s = block * BLOCK_SECTORS; s < end; s++) {
            if (s == 0 || !p.wanted[s])
                continue;
            int last = s;
            while (last + 1 < end && p.wanted[last + 1])
                last++;
            if (!compare_run(p, s, last, report))
                return 0;
            s = last;
        }
    }
    flash_progress(PHASE_COMPARE, BLOCKS, BLOCKS);
    return 1;
}

// A 64 KB erase loses nothing when every sector of the block is rewritten, or is one that the
// whole plan erases and never writes (the two above the information sector on the 8 Mbit plan).
bool whole_block_differs(const change_plan& p, int block)
{
    for (int s = block * BLOCK_SECTORS; s < (block + 1) * BLOCK_SECTORS; s++) {
        bool erased_only = p.eight_mbit && !p.wanted[s] && s > INFO_SECTOR;
        if (!p.differs[s] && !erased_only)
            return false;
    }
    return true;
}

struct erase_command {
    uint8_t opcode;
    int sector;
};

// Sector 0 first, so that a unit cut off from here on stays in its loader; then each block
// that differs as a whole, and each other sector that differs.
std::vector<erase_command> erase_list(const change_plan& p)
{
    std::vector<erase_command> list = {{ERASE_SECTOR_OPCODE, 0}};
    for (int block = 0; block < BLOCKS; block++) {
        if (whole_block_differs(p, block)) {
            list.push_back({ERASE_BLOCK_OPCODE, block * BLOCK_SECTORS});
            continue;
        }
        for (int s = block * BLOCK_SECTORS; s < (block + 1) * BLOCK_SECTORS; s++)
            if (s != 0 && p.differs[s])
                list.push_back({ERASE_SECTOR_OPCODE, s});
    }
    return list;
}

int erase_changed(const change_plan& p)
{
    const std::vector<erase_command> list = erase_list(p);
    const int total = static_cast<int>(list.size());
    flash_progress(PHASE_ERASE, PROGRESS_BEGIN, total);
    for (int i = 0; i < total; i++) {
        flash_progress(PHASE_ERASE, i, total);
        uint8_t frame[FRAME_MAX];
        int length = build_erase_frame(list[i].opcode, static_cast<uint32_t>(list[i].sector) * SECTOR_SIZE, frame);
        if (!run_frame(CMD_ERASE_FLASH, frame, length)) {
            console_print("\n Fail on erase flash at sector %x\n", list[i].sector);
            error_code = 14;
            return 0;
        }
    }
    flash_progress(PHASE_ERASE, total, total);
    return 1;
}

// The image sectors that differ, then the information sector when it differs, then sector 0.
// The progress counts the sectors written, no more: the information sector (when written)
// and sector 0 are its last steps.
int write_changed(const change_plan& p, change_report& report)
{
    std::vector<int> sectors;
    for (int s = 1; s < INFO_SECTOR; s++)
        if (p.wanted[s] && p.differs[s])
            sectors.push_back(s);
    const bool info = p.differs[INFO_SECTOR];
    const int total = static_cast<int>(sectors.size()) + (info ? 1 : 0) + 1;
    flash_progress(PHASE_WRITE, PROGRESS_BEGIN, total);
    for (size_t i = 0; i < sectors.size(); i++) {
        flash_progress(PHASE_WRITE, static_cast<int>(i), total);
        sector_index = sectors[i];
        if (!run_command(CMD_WRITE_SECTOR)) {
            console_print("\n Fail to write flash add %x\n", sector_index);
            error_code = 15;
            return 0;
        }
        report.written++;
    }
    if (info) {
        flash_progress(PHASE_WRITE, total - 2, total);
        if (!run_command(CMD_WRITE_BT_INFO)) {
            console_print(" Fail to write BT info\n");
            error_code = 16;
            return 0;
        }
        report.written++;
    }
    sector_index = 0;
    flash_progress(PHASE_WRITE, total - 1, total);
    if (!run_command(CMD_WRITE_SECTOR)) {
        console_print("\n Fail to write flash add %x\n", 0);
        error_code = 18;
        return 0;
    }
    report.written++;
    flash_progress(PHASE_WRITE, total, total);
    return 1;
}

double whole_plan_ms()
{
    const int writes = flash_plan_sectors() + 1;  // the image sectors and the information sector
    const double wire = UNLOCK_BYTES + ERASE_STEPS * ERASE_BYTES + writes * WRITE_BYTES + CHECKSUM_BYTES;
    return wire * BYTE_MS + BLOCKS * BLOCK_ERASE_MS + (ERASE_STEPS - BLOCKS) * SECTOR_ERASE_MS + writes * SECTOR_WRITE_MS +
           CHECKSUM_MS;
}

int program_only_changed(change_report& report)
{
    change_plan p;
    plan_sectors(p);
    if (!unlock_flash() || !compare_flash(p, report))
        return 0;
    return erase_changed(p) && write_changed(p, report) && verify_flash();
}

}  // namespace

int program_changed_flash(change_report& report, bool skip_blank)
{
    const auto start = steady::now();
    report = change_report{};
    int ok = program_only_changed(report);
    report.skipped = ok ? flash_plan_sectors() + 1 - report.written : 0;
    if (!ok) {
        // Any doubt: the whole plan, from the unlock on, without skipping anything.
        console_print(" Only the changed sectors did not succeed: the whole flash is written\n");
        report.whole_plan = true;
        error_code = 0;
        ok = program_whole_flash(skip_blank);
        if (ok)  // one that failed too wrote an unknown part: only the sectors known written count
            report.written = flash_plan_sectors() + 1 - (skip_blank ? blank_plan_sectors() : 0);
    }
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    report.seconds_saved = whole_plan_ms() / 1000 - seconds;
    return ok;
}
