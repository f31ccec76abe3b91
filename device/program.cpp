#include <cstring>

#include "device/device.h"
#include "device/program_steps.h"
#include "image/image.h"
#include "link/console_print.h"
#include "link/exchange.h"
#include "link/state.h"

progress_function flash_progress = print_progress_dots;

namespace {

constexpr int CRC_AT = 7;           // the checksum's place in the reply, least significant first
constexpr int CRC_REPLY_END = CRC_AT + 4;
constexpr int SECTORS_PER_DOT = 4;

int fail(int code)
{
    error_code = code;
    return 0;
}

int erase_flash()
{
    flash_progress(PHASE_ERASE, PROGRESS_BEGIN, ERASE_STEPS);
    for (erase_step = 0; erase_step < ERASE_STEPS; erase_step++) {
        flash_progress(PHASE_ERASE, erase_step, ERASE_STEPS);
        if (!run_command(CMD_ERASE_FLASH)) {
            console_print("\n Fail on erase flash. try cnt = %d\n", erase_step);
            return fail(14);
        }
    }
    flash_progress(PHASE_ERASE, ERASE_STEPS, ERASE_STEPS);
    return 1;
}

bool blank_sector(int index)
{
    return erased_sector(firmware_image + static_cast<size_t>(index) * SECTOR_SIZE);
}

// One image sector, unless it is blank and blank ones are skipped.
int write_sector(bool skip_blank)
{
    return (skip_blank && blank_sector(sector_index)) || run_command(CMD_WRITE_SECTOR);
}

// Sector 0 goes last: a unit whose programming stops half-way keeps no bootable image.
int write_flash(bool skip_blank)
{
    const int count = flash_plan_sectors();
    const int frames = count + 1;  // sectors 1 to count - 1, the information sector, sector 0
    flash_progress(PHASE_WRITE, PROGRESS_BEGIN, frames);
    for (sector_index = 1; sector_index < count; sector_index++) {
        flash_progress(PHASE_WRITE, sector_index - 1, frames);
        if (!write_sector(skip_blank)) {
            console_print("\n Fail to write flash add %x\n", sector_index);
            return fail(15);
        }
    }
    flash_progress(PHASE_WRITE, count - 1, frames);
    if (!run_command(CMD_WRITE_BT_INFO)) {
        console_print(" Fail to write BT info\n");
        return fail(16);
    }
    sector_index = 0;
    flash_progress(PHASE_WRITE, count, frames);
    if (!write_sector(skip_blank)) {
        console_print("\n Fail to write flash add %x\n", 0);
        return fail(18);
    }
    flash_progress(PHASE_WRITE, frames, frames);
    return 1;
}

void print_crc_error()
{
    console_print("\t !!!!! CRC error !!!!! \n");
    console_print("\t Exp:");
    for (int i = 0; i < 4; i++)
        console_print("%02X ", expected_crc[i]);
    console_print("\n\t Get:");
    for (int i = 0; i < 4; i++) {
        if (CRC_AT + i < reply_capture_count)
            console_print("%02X ", reply_capture[CRC_AT + i]);
        else
            console_print("-- ");  // the reply ended before this byte
    }
    console_print("\n");
}

}  // namespace

// The flash accepts writes and erases only once its protection bits are cleared: read the
// status register, write it with all protection off, read it again.
int unlock_flash()
{
    if (!run_command(EN_FLASH_WR_1)) {
        console_print(" Fail on EN_FLASH_WR_1\n");
        return fail(11);
    }
    if (!run_command(EN_FLASH_WR_2)) {
        console_print(" Fail on EN_FLASH_WR_2\n");
        return fail(12);
    }
    if (!run_command(EN_FLASH_WR_1)) {
        console_print(" Fail on EN_FLASH_WR_1\n");
        return fail(13);
    }
    return 1;
}

// Has the unit checksum the image's range and compares its answer with expected_crc. Only
// bytes this reply delivered count: a short reply is a mismatch.
int verify_flash()
{
    flash_progress(PHASE_VERIFY, PROGRESS_BEGIN, 1);
    flash_progress(PHASE_VERIFY, 0, 1);
    if (!run_command(CMD_VERIFY_FLASH)) {
        console_print(" Fail to verify flash\n");
        return fail(19);
    }
    bool match = reply_capture_count >= CRC_REPLY_END && memcmp(reply_capture + CRC_AT, expected_crc, 4) == 0;
    flash_progress(PHASE_VERIFY, 1, 1);
    if (match)
        return 1;
    print_crc_error();
    return fail(20);
}

bool erased_sector(const uint8_t* bytes)
{
    for (int i = 0; i < SECTOR_SIZE; i++)
        if (bytes[i] != 0xFF)
            return false;
    return true;
}

int flash_plan_sectors()
{
    return static_cast<unsigned char>(image_version[0]) >= '3' ? PLAN_SECTORS_8MBIT : PLAN_SECTORS_4MBIT;
}

void print_progress_dots(flash_phase phase, int step, int total)
{
    const bool begin = step == PROGRESS_BEGIN;
    const bool end = step == total;
    switch (phase) {
    case PHASE_ERASE:
        console_print("%s", begin ? " Erase flash " : end ? " Done\n" : ".");
        break;
    case PHASE_WRITE:
        if (begin)
            console_print("%s", total - 1 == PLAN_SECTORS_8MBIT ? " 8Mb flash Write " : " 4Mb flash Write ");
        else if (end)
            console_print(" Done\n");
        else if (step < total - 2 && (step + 1) % SECTORS_PER_DOT == 0)
            console_print(".");  // before image sectors 4, 8, 12, ...
        break;
    case PHASE_VERIFY:
        if (begin)
            console_print(" Verify flash ...");
        else if (end)
            console_print(" Done\n");
        break;
    case PHASE_COMPARE:
        console_print("%s", begin ? " Compare flash " : end ? " Done\n" : ".");
        break;
    }
    console_flush();  // each dot shows as it comes, not at the line's end
}

int program_flash()
{
    return program_whole_flash(false);
}

int program_whole_flash(bool skip_blank)
{
    return unlock_flash() && erase_flash() && write_flash(skip_blank) && verify_flash();
}

int blank_plan_sectors()
{
    int blank = 0;
    for (int s = 0; s < flash_plan_sectors(); s++)
        blank += blank_sector(s);
    return blank;
}
