// The flash command: programs the unit as the update tool does, without asking anything.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/cli.h"
#include "cli/os.h"
#include "common/os.h"
#include "device/device.h"
#include "image/image.h"
#include "image/package.h"
#include "link/console_print.h"
#include "link/discovery.h"
#include "link/frames.h"
#include "link/pause.h"
#include "link/port.h"
#include "link/state.h"
#include "pool/pool.h"
#include "tools/address_file.h"
#include "tools/production_record.h"

namespace {

constexpr int ATTEMPT_PAUSE_MS = 3000;  // between attempts, as the update tool waits

// The information sector goes before sector 0: once its write may have begun, the unit may
// hold the address whatever happens next, and the address is never another unit's.
progress_function shown_progress;  // the display's own reporting
bool info_sector_sent;

void watch_info_sector(flash_phase phase, int step, int total)
{
    shown_progress(phase, step, total);
    // The display closes the port on a stop signal: then nothing more is sent.
    if (phase == PHASE_WRITE && step != PROGRESS_BEGIN && step >= total - 2 && port_handle)
        info_sector_sent = true;
}

// A failure of these steps at a raised rate may be the line's: the next attempt steps down.
bool line_may_fail(int code)
{
    return code == 15 || code == 16 || code == 18 || code == 19 || code == 20;  // a write or the checksum
}

// One programming attempt on the open port, the loader asked for `baud`; 0 when the unit's
// checksum matched, else the exit code to use when the step set no error_code, with
// `message`. `line_baud`: the rate the loader ran at, 0 when it was not reached.
int program_attempt(const cli_options& options, uint32_t baud, uint32_t& line_baud, change_report& changes,
                    std::string& message)
{
    error_code = 0;
    int own = EXIT_NO_UNIT;
    bool ok = enter_boot_mode_fast(baud, line_baud);
    if (!ok)
        line_baud = 0;
    if (ok && options.address == ADDRESS_KEEP && !bt_address_loaded) {
        own = EXIT_READ_BACK;
        ok = read_bt_address(1);
    }
    if (ok) {
        const bool skip_blank = !options.write_blank;
        ok = options.only_changed ? program_changed_flash(changes, skip_blank) : program_whole_flash(skip_blank);
        end_progress_display();
    }
    if (ok)
        return 0;
    message = own == EXIT_READ_BACK && !error_code ? "the unit's stored address could not be read" : failure_text(error_code);
    return own;
}

// Programs the open unit, as many attempts as asked with the port reopened and a pause between
// them; 0 when its checksum matched, else as program_attempt. A loader left at a raised rate
// is restarted at it, and a write or checksum that failed there steps down for the next attempt.
int program_with_attempts(const cli_options& options, int& attempts, uint32_t& line_baud, change_report& changes,
                          std::string& message)
{
    uint32_t baud = options.baud;
    for (attempts = 1;; attempts++) {
        report_attempt(attempts);
        int failed = program_attempt(options, baud, line_baud, changes, message);
        if (!failed || attempts == options.attempts || stop_signal())
            return failed;
        if (line_baud > BAUD_LOADER && line_may_fail(error_code))
            baud = next_lower_baud(line_baud);
        close_port();
        reopen_port();
        if (line_baud > BAUD_LOADER)
            restart_device_at(line_baud);
        pause_ms(ATTEMPT_PAUSE_MS);
    }
}

// A rate the port can't run at is refused before the unit hears of it.
int check_port_rate(const cli_options& options)
{
    if (options.baud == BAUD_LOADER || port_can_run_at(options.baud))
        return EXIT_OK;
    close_port();
    return report_failure(options, EXIT_USAGE,
                          "the port " + std::string(found_port_name) + " can't run at " + std::to_string(options.baud) + " baud");
}

// The address file: locked for the whole command and read into bt_address. Unlike the
// station, a missing file is refused: a mistyped name must not start again at the default.
int take_address_file(const cli_options& options, os_file_lock*& lock)
{
    const char* path = options.address_file.c_str();
    FILE* file = fopen(path, "rb");
    if (!file)
        return report_failure(options, EXIT_ADDRESS_FILE,
                              "can't read the address file " + options.address_file +
                                  " (a new one holds one line such as: 0604 03 000100)");
    fclose(file);
    lock = lock_address_file(path);
    if (!lock)
        return report_failure(options, EXIT_ADDRESS_FILE, "the address file " + options.address_file + " is in use");
    if (!load_address_file(path)) {
        unlock_address_file(lock);
        lock = nullptr;
        return report_failure(options, EXIT_ADDRESS_FILE, "the address file " + options.address_file + " holds no valid address");
    }
    return EXIT_OK;
}

// The instance ends with the command: whatever it still holds is in doubt.
void end_in_pool(pool_store* pool, const pool_instance& instance)
{
    int doubted = 0;
    pool_error error;
    if (pool)
        pool_end_instance(pool, instance, doubted, error);
    pool_close(pool);
}

int pool_failure(const cli_options& options, const pool_error& error)
{
    return report_failure(options, pool_exit_code(error.problem), error.message);
}

// The port as the operator named it: a stable name is kept in the records, as the gang keeps
// it, rather than the port it led to this time.
std::string port_of_record(const cli_options& options)
{
    return options.port.empty() ? found_port_name : options.port;
}

// The unit's record into the pool with its address's outcome, in one transaction; a unit
// whose record can't be stored is reported, with the record, so that it is not lost.
int finish_in_pool(const cli_options& options, pool_store* store, const pool_reservation& taken, bool good,
                   int error_code, int attempts, double seconds)
{
    const pool_outcome outcome = good ? POOL_GOOD : info_sector_sent ? POOL_IN_DOUBT : POOL_GIVE_BACK;
    pool_record r;
    r.reservation = taken.id;
    r.time = utc_now();
    r.port = port_of_record(options);
    r.address = taken.address;
    r.image_version = image_record_version;
    r.image_checksum = checksum_text();
    r.good = good;
    r.error_code = error_code;
    r.attempts = attempts;
    r.seconds = seconds;
    r.station = options.station.empty() ? os_host_name() : options.station;
    pool_error error;
    if (pool_finish(store, r, outcome, error))
        return EXIT_OK;
    char line[160];
    snprintf(line, sizeof line, "%s,%s,%s,%s,%d,%d,%.1f,%s", r.time.c_str(), r.port.c_str(),
             address_text(bt_address).c_str(), good ? "good" : "failed", error_code, attempts, seconds,
             r.station.c_str());
    return report_failure(options, EXIT_POOL_SERVER,
                          error.message + "; the unit's record (" + line + ") is not in the pool and its address stays in doubt");
}

int load_image_option(const cli_options& options)
{
    if (options.image_file.empty())
        return EXIT_OK;
    image_facts facts;
    std::string why;
    const int loaded = load_image(options.image_file, {options.trust, options.allow_unsigned, options.min_version}, facts, why);
    warn_skipped_keys(options, facts.keys);
    if (loaded)
        return EXIT_OK;
    return report_failure(options, EXIT_IMAGE_FILE, why);
}

// What --only-changed did: sectors compared, skipped and written, whether the whole plan ran
// after all, and the time saved against the whole plan on a typical part.
void add_changes(result& r, const change_report& changes)
{
    add_number(r, "compared", changes.compared);
    add_number(r, "skipped", changes.skipped);
    add_number(r, "written", changes.written);
    add_flag(r, "whole_plan", changes.whole_plan);
    char saved[24];
    snprintf(saved, sizeof saved, "%.1f", changes.seconds_saved);
    add_json(r, "seconds_saved", saved, saved);
}

// The unit's facts for its hook and label, as its record has them.
unit_facts facts_of_unit(const cli_options& options, bool good, int code, int attempts, double seconds, int64_t reservation)
{
    production_entry entry = {port_of_record(options), {}, good, code, attempts, seconds};
    memcpy(entry.address, bt_address, sizeof entry.address);
    return unit_facts_of(entry, options.station.empty() ? os_host_name() : options.station, reservation);
}

}  // namespace

int command_flash(const cli_options& options)
{
    const auto start = std::chrono::steady_clock::now();
    int code = load_image_option(options);
    if (code != EXIT_OK)
        return code;
    hook_runner* hooks = nullptr;  // checked before any unit: a bad template is refused at once
    std::string hooks_error;
    if (!hooks_start(options.hooks, hooks, hooks_error))
        return report_failure(options, EXIT_USAGE, hooks_error);
    std::unique_ptr<hook_runner, void (*)(hook_runner*)> hooks_owned(hooks, hooks_stop);
    os_file_lock* lock = nullptr;
    const char* path = options.address_file.c_str();
    if (options.address == ADDRESS_FROM_FILE && (code = take_address_file(options, lock)) != EXIT_OK)
        return code;
    pool_store* pool = nullptr;
    pool_reservation taken;
    pool_error error;
    pool_instance instance = pool_new_instance(options.station.empty() ? os_host_name() : options.station);
    pool_renewal lease;
    if (options.address == ADDRESS_FROM_POOL &&
        (!(pool = pool_open(options.pool, false, error)) || !pool_renew(pool, instance, lease, error))) {
        pool_close(pool);
        return pool_failure(options, error);
    }
    std::string older;
    if (pool && !check_image_version(pool, options.allow_downgrade, older, error)) {
        end_in_pool(pool, instance);
        return older.empty() ? pool_failure(options, error) : report_failure(options, EXIT_IMAGE_FILE, older);
    }
    if (options.address == ADDRESS_GIVEN)
        memcpy(bt_address, options.given_address, sizeof bt_address);
    code = open_unit(options);
    if (code == EXIT_OK)
        code = check_port_rate(options);
    // The address about to be written is taken out of the file first: should the program die
    // while programming, the next run skips it and never hands it out twice. The pool's
    // reservation is committed before programming for the same reason.
    if (code == EXIT_OK && lock && !reserve_address(path)) {
        close_port();
        code = report_failure(options, EXIT_ADDRESS_FILE, "the address file " + options.address_file + " can't be saved");
    }
    if (code == EXIT_OK && pool) {
        if (pool_reserve(pool, instance, {}, taken, error)) {
            address_bytes(taken.address, bt_address);
        } else {
            close_port();
            code = pool_failure(options, error);
        }
    }
    if (code != EXIT_OK) {
        unlock_address_file(lock);
        end_in_pool(pool, instance);
        return code;
    }
    // Its result matters through the layout that the read-back needs, and the flash size that
    // a package must fit; a unit that answers no version (stuck in its loader) is programmed.
    const bool answered = query_fw_version();

    std::string message = answered ? package_unit_problem(fw_version) : "";
    int attempts = 0;
    change_report changes;
    int failed = EXIT_IMAGE_FILE;
    uint32_t line_baud = 0;
    if (message.empty()) {
        // While the unit is programmed, a thread of its own renews the lease.
        pool_lease_keeper* keeper = pool ? pool_keep_lease(options.pool, instance, lease.lease_seconds) : nullptr;
        shown_progress = flash_progress;
        flash_progress = watch_info_sector;
        info_sector_sent = false;
        failed = program_with_attempts(options, attempts, line_baud, changes, message);
        flash_progress = shown_progress;
        pool_stop_keeper(keeper);
    } else {
        error_code = 0;  // refused by the tool, not by a failed step
    }
    const std::string written = address_text(bt_address);
    if (!failed && options.restart) {
        console_print(" Reboot MCU \n");
        restart_device_at(line_baud);
    }
    close_port();
    if (lock && failed && !info_sector_sent)
        release_address(path);  // the unit can't hold it: the next unit gets it
    else if (lock && !failed)
        advance_address(path);  // after a verified success only; a failed unit's stays skipped
    unlock_address_file(lock);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The code the failure is reported with below.
    const int why = !failed ? 0 : stop_signal() ? EXIT_SIGNAL_BASE + stop_signal() : error_code ? error_code : failed;
    if (pool) {
        int recorded = finish_in_pool(options, pool, taken, !failed, why, attempts, seconds);
        end_in_pool(pool, instance);
        if (recorded != EXIT_OK && !failed)
            return recorded;
    }
    if (failed && info_sector_sent && options.address != ADDRESS_GIVEN && options.address != ADDRESS_KEEP)
        message += (message.empty() ? "" : "; ") + std::string("the unit may hold ") + written +
                   (pool ? ": the address stays in doubt" : ": the address is not handed out again");
    const std::string delivery = deliver_unit_hooks(hooks, facts_of_unit(options, !failed, why, attempts, seconds, taken.id));
    if (!delivery.empty())
        fprintf(stderr, "pelmo4rix: %s\n", delivery.c_str());
    if (failed)
        return fail_step(options, failed, message);

    result r;
    add_text(r, "port", found_port_name);
    add_text(r, "image", options.image_file.empty() ? "built-in" : options.image_file);
    add_text(r, "address", written);
    add_flag(r, "restarted", options.restart);
    add_number(r, "attempts", attempts);
    add_number(r, "baud", line_baud);
    char text[24];
    snprintf(text, sizeof text, "%.1f", seconds);
    add_json(r, "seconds", text, text);
    if (options.only_changed)
        add_changes(r, changes);
    if (!delivery.empty())
        add_text(r, "delivery", delivery);
    if (!image_downgraded_from.empty())
        add_text(r, "downgraded_from", image_downgraded_from);
    print_result(options, r);
    return EXIT_OK;
}
