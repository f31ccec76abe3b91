// The flash command: programs the unit as the update tool does, without asking anything.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "cli/os.h"
#include "device/device.h"
#include "image/image.h"
#include "link/console_print.h"
#include "link/discovery.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"

namespace {

constexpr int ATTEMPT_PAUSE_MS = 3000;  // between attempts, as the update tool waits

// What a person is told about a failed step, by its error_code.
std::string failure_text(int code)
{
    switch (code) {
    case 4: return "writing to the port failed";
    case 6: return "the unit stopped answering";
    case 7: return "the unit did not answer the probe";
    case 8: return "the unit's loader did not answer the handshake";
    case 9: return "the unit refused the speed change";
    case 10: return "the port could not be set to 1000000 baud";
    case 11: case 12: case 13: return "the flash could not be unlocked";
    case 14: return "erasing the flash failed";
    case 15: case 18: return "writing a flash sector failed";
    case 16: return "writing the information sector failed";
    case 19: return "the unit did not report its checksum";
    case 20: return "the unit's checksum differs from the image's";
    default: return "programming failed";
    }
}

// One programming attempt on the open port; 0 when the unit's checksum matched, else the
// exit code to use when the step set no error_code, with `message`.
int program_attempt(const cli_options& options, std::string& message)
{
    error_code = 0;
    int own = EXIT_NO_UNIT;
    bool ok = enter_boot_mode();
    if (ok && options.address == ADDRESS_KEEP && !bt_address_loaded) {
        own = EXIT_READ_BACK;
        ok = read_bt_address(1);
    }
    if (ok) {
        ok = program_flash();
        end_progress_display();
    }
    if (ok)
        return 0;
    message = own == EXIT_READ_BACK && !error_code ? "the unit's stored address could not be read" : failure_text(error_code);
    return own;
}

// Programs the open unit, as many attempts as asked with the port reopened and a pause between
// them; 0 when its checksum matched, else as program_attempt.
int program_with_attempts(const cli_options& options, int& attempts, std::string& message)
{
    for (attempts = 1;; attempts++) {
        report_attempt(attempts);
        int failed = program_attempt(options, message);
        if (!failed || attempts == options.attempts || stop_signal())
            return failed;
        close_port();
        reopen_port();
        pause_ms(ATTEMPT_PAUSE_MS);
    }
}

int load_image(const cli_options& options)
{
    long long size = 0;
    if (options.image_file.empty() || load_image_file(options.image_file.c_str(), size))
        return EXIT_OK;
    if (size < 0)
        return report_failure(options, EXIT_IMAGE_FILE, "can't read " + options.image_file);
    return report_failure(options, EXIT_IMAGE_FILE,
                          options.image_file + " is " + std::to_string(size) + " bytes; an image must be exactly " +
                              std::to_string(IMAGE_SIZE) + " bytes");
}

}  // namespace

int command_flash(const cli_options& options)
{
    const auto start = std::chrono::steady_clock::now();
    int code = load_image(options);
    if (code != EXIT_OK)
        return code;
    if (options.address == ADDRESS_GIVEN)
        memcpy(bt_address, options.given_address, sizeof bt_address);
    code = open_unit(options);
    if (code != EXIT_OK)
        return code;
    query_fw_version();  // its result matters only through the layout that the read-back needs

    std::string message;
    int attempts = 0;
    int failed = program_with_attempts(options, attempts, message);
    const std::string written = address_text(bt_address);
    if (!failed && options.restart) {
        console_print(" Reboot MCU \n");
        restart_device();
    }
    close_port();
    if (failed)
        return fail_step(options, failed, message);

    result r;
    r.add_text("port", found_port_name);
    r.add_text("image", options.image_file.empty() ? "built-in" : options.image_file);
    r.add_text("address", written);
    r.add_flag("restarted", options.restart);
    r.add_number("attempts", attempts);
    char seconds[24];
    snprintf(seconds, sizeof seconds, "%.1f", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    r.add_json("seconds", seconds, seconds);
    print_result(options, r);
    return EXIT_OK;
}
