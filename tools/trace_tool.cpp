// The trace capture tool: finds the unit, turns on its debug port and copies everything the
// unit sends into "Pelmo4Rix.trace" until a key is pressed.
#include <cstdio>

#include "device/device.h"
#include "image/image.h"
#include "link/discovery.h"
#include "link/exchange.h"
#include "link/os_port.h"
#include "link/pause.h"
#include "link/state.h"
#include "tools/console.h"
#include "tools/file_os.h"
#include "tools/tools.h"

namespace {

constexpr int TRACE_READ = 256;          // bytes asked for by one read of the trace
constexpr int DEBUG_TRIES = 3;
constexpr int DEBUG_SETTLE_MS = 500;     // around "/d": the unit needs the time to start its trace
constexpr int DEBUG_ENABLED_BYTES = 100; // a try that brings this much has turned the trace on
constexpr int BYTES_PER_DOT = 50;

const char TRACE_FILE[] = "Pelmo4Rix.trace";
const char BANNER_RULE[] = "========================================================\n";
const char BANNER_LINE[] = "  Pelmo4Rix Version 4 Log Capture Utility. Version %s \n";

bool create_trace_file()
{
    for (int attempt = 0; attempt < 2 && !info_file; attempt++)
        info_file = os_file_open(TRACE_FILE, "wb");
    if (!info_file)
        return false;
    // Unbuffered: what was read is in the file at once, even if the program is killed.
    setvbuf(info_file, nullptr, _IONBF, 0);
    return true;
}

void wait_and_exit_message()
{
    printf(" Press anykey to exit the program.\n");
    read_key();
}

// Logs every byte the unit sends until a key is pressed; `count` starts at the bytes of the
// try that turned the trace on.
void log_trace(long long count)
{
    printf("\n Start Loging debug trace. Press any key to stop. \n");
    printf("\n Logging .");
    fflush(stdout);  // shown now, even when the unit stays quiet for a while
    int since_dot = 0;
    for (;;) {
        if (key_waiting()) {
            printf("\n\n Logged %lld bytes. Press any key to exit program.\n", count);
            read_key();  // the key that stopped logging
            read_key();  // the key to exit
            run_command(CMD_QUIT);
            unit_trace_on = 0;
            printf(" Exit program.\n");
            return;
        }
        int n = read_trace_chunk();
        since_dot += n;
        count += n;
        if (since_dot > BYTES_PER_DOT) {
            printf(".");
            fflush(stdout);
            since_dot = 0;
        }
    }
}

}  // namespace

int read_trace_chunk()
{
    uint8_t buffer[TRACE_READ];
    long n = os_port_read(port_handle, buffer, sizeof buffer);
    if (n <= 0)
        return 0;
    fwrite(buffer, 1, static_cast<size_t>(n), info_file);
    return static_cast<int>(n);
}

void capture_trace()
{
    run_command(CMD_VERSION_NOREPLY);
    read_trace_chunk();
    unit_trace_on = 1;
    for (int attempt = 1; attempt <= DEBUG_TRIES; attempt++) {
        pause_ms(DEBUG_SETTLE_MS);
        run_command(CMD_DEBUG_ON);
        pause_ms(DEBUG_SETTLE_MS);
        int count = read_trace_chunk();
        if (count >= DEBUG_ENABLED_BYTES) {
            printf("\n Debug port enabled\n");
            fprintf(info_file, "\n Debug port enabled %d\n", count);
            log_trace(count);
            return;
        }
        printf("\n Enable debug port : Try %d\n", attempt);
        fprintf(info_file, "\n Enable debug port : Try %d: Count = %d\n", attempt, count);
        run_command(CMD_QUIT);
    }
    unit_trace_on = 0;
    printf("\n\n ERROR !!! Can't get the trace. Re-plug in device again\n");
    read_key();
}

void trace_capture_tool()
{
    if (!create_trace_file()) {
        printf(" Error !!!! Can't create \"P2lmo4Rix.trace\" file. \n\n");
        if (os_file_is_link(TRACE_FILE))
            printf(" %s is a symbolic link: refused, nothing written.\n\n", TRACE_FILE);
        wait_and_exit_message();
        return;
    }
    printf("%s", BANNER_RULE);
    printf(BANNER_LINE, tool_version);
    printf("%s", BANNER_RULE);
    printf("\n");
    fprintf(info_file, BANNER_LINE, tool_version);

    if (!find_device() || !reopen_port()) {
        fclose(info_file);
        info_file = nullptr;
        wait_and_exit_message();
        return;
    }
    query_fw_version();
    capture_trace();
}
