// The gang's start: its options, its lock, its supply of addresses, its record, its page and
// its hooks, before the loop (loop.cpp) runs.
#include "gang/run.h"

#include <cstdio>

#include "common/exit_codes.h"
#include "gang/os.h"
#include "image/package.h"
#include "line/page.h"
#include "link/console_print.h"
#include "tools/address_file.h"
#include "tools/file_os.h"
#include "tools/production_record.h"

namespace {

// With the shared pool: no image older than the newest the pool recorded good, unless the
// gang was told to downgrade (its start says so, and each unit's record).
int check_image_version(gang_run& g)
{
    std::string why;
    pool_error error;
    if (check_image_version(g.pool.store, g.options.allow_downgrade, why, error))
        return EXIT_OK;
    fprintf(stderr, "pelmo4rix: %s\n", (why.empty() ? error.message : why).c_str());
    close_pool(g.pool);  // the lease ends now: the gang holds nothing
    return why.empty() ? pool_exit_code(error.problem) : EXIT_IMAGE_FILE;
}

}  // namespace

int prepare(gang_run& g)
{
    const gang_options& o = g.options;
    g.descriptors = os_raise_descriptor_limit();
    std::string hooks_error;
    if (!hooks_start(o.hooks, g.hooks, hooks_error)) {
        fprintf(stderr, "pelmo4rix gang: %s\n", hooks_error.c_str());
        return EXIT_USAGE;
    }
    std::string station_error;
    if (!station_name(o.station, g.station, station_error)) {
        fprintf(stderr, "pelmo4rix gang: %s\n", station_error.c_str());
        return EXIT_USAGE;
    }
    image_facts facts;
    std::string why;
    const bool loaded = o.image_file.empty() || load_image(o.image_file, {o.trust, o.allow_unsigned, o.min_version}, facts, why);
    for (const std::string& skipped : facts.keys.skipped)
        fprintf(stderr, "pelmo4rix: warning: key file skipped: %s\n", shown_text(skipped).c_str());
    if (!loaded) {
        fprintf(stderr, "pelmo4rix: %s\n", shown_text(why).c_str());
        return EXIT_IMAGE_FILE;
    }
    if (!o.pool.empty()) {
        g.pool.url = o.pool;
        g.pool.station = g.station;
        g.pool.journal = o.journal;
        std::string message;
        int code = EXIT_OK;
        if (!open_pool(g.pool, message, code)) {
            fprintf(stderr, "pelmo4rix: %s\n", message.c_str());
            return code;
        }
        if ((code = check_image_version(g)) != EXIT_OK)
            return code;
        g.record = o.record;  // the pool keeps the record; a local copy only when asked
    } else {
        if (!load_address_file(o.address_file.c_str()))
            return EXIT_ADDRESS_FILE;
        g.pool.path = o.address_file;
        g.record = o.record.empty() ? record_beside(o.address_file) : o.record;
    }
    FILE* record = g.record.empty() ? nullptr : os_file_open(g.record.c_str(), "ab");
    if (!record && !g.record.empty()) {
        fprintf(stderr, "pelmo4rix: can't write the production record %s%s\n", g.record.c_str(),
                os_file_is_link(g.record.c_str()) ? " (a symbolic link: refused)" : "");
        return EXIT_RECORD_FILE;
    }
    if (record)
        fclose(record);
    for (size_t i = 0; i < o.ports.size(); i++) {
        const std::string label = o.labels.empty() ? default_slot_label(o.ports[i], g.rows) : o.labels[i];
        g.rows.push_back(port_row{});
        g.rows.back().name = o.ports[i];
        g.rows.back().label = label;
    }
    if (o.http) {
        int port = 0;
        std::string error;
        const unsigned connections = page_connections(g.descriptors, o.ports.size());
        g.page = page_start(o.http_host, o.http_port, o.http_names, connections, port, error);
        if (!g.page) {
            fprintf(stderr, "pelmo4rix gang: %s\n", error.c_str());
            return EXIT_NO_PAGE;
        }
        g.page_url = "http://" + (o.http_host.find(':') != std::string::npos ? "[" + o.http_host + "]" : o.http_host) +
                     ":" + std::to_string(port) + "/";
    }
    return EXIT_OK;
}

int gang_main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == SEND_LABEL)  // the gang's own label process
        return send_label(argv[2]);
    gang_run g;
    std::string error;
    if (!parse_gang_options(argc, argv, g.options, error)) {
        fprintf(stderr, "pelmo4rix gang: %s\n%s", error.c_str(), gang_usage().c_str());
        return EXIT_USAGE;
    }
    if (g.options.help) {
        printf("%s", gang_usage().c_str());
        return EXIT_OK;
    }
    if (!g.options.replay_hooks.empty())
        return replay_hooks(g.options.replay_hooks, g.options.hooks.timeout_s);
    console_stream = stderr;  // the address file's messages; standard output is the gang's
    os_file_lock* lock = nullptr;
    if (g.options.pool.empty() && !(lock = lock_address_file(g.options.address_file.c_str())))
        return EXIT_ADDRESS_FILE;
    os_watch_stop_requests();
    int code = prepare(g);
    if (code == EXIT_OK)
        code = gang_loop(g);
    page_stop(g.page);
    hooks_stop(g.hooks);
    unlock_address_file(lock);
    return code;
}
