// `pelmo4rix pool`: sets up a shared address pool and looks after it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "common/text.h"
#include "pool/pool.h"
#include "tools/production_record.h"

namespace {

struct pool_options {
    cli_options report;  // --json, for the report functions
    std::string action;  // init, status, records, release
    std::string url;     // --pool URL, or PELMO4RIX_POOL
    std::string first, last, since, lease;
    std::vector<std::string> addresses;  // release
    bool doubt = false;                  // status --doubt
    bool help = false;
};

bool take_option(pool_options& o, const std::string& name, const std::string& value, std::string& error)
{
    std::string* field = name == "--pool" ? &o.url
                       : name == "--first" && o.action == "init" ? &o.first
                       : name == "--last" && o.action == "init" ? &o.last
                       : name == "--lease" && o.action == "init" ? &o.lease
                       : name == "--since" && o.action == "records" ? &o.since
                                                                     : nullptr;
    if (!field) {
        error = "unknown option " + name + " for pool " + o.action;
        return false;
    }
    *field = value;
    return true;
}

bool parse_pool_options(int argc, char** argv, pool_options& o, std::string& error)
{
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--json") {
            o.report.json = true;
        } else if (arg == "--quiet") {
            o.report.quiet = true;  // the pool's commands print nothing but their results and errors
        } else if (arg == "--doubt" && o.action == "status") {
            o.doubt = true;
        } else if (arg.rfind("--", 0) == 0) {
            std::string name, value;
            if (!option_value(argc, argv, i, name, value, error) || !take_option(o, name, value, error))
                return false;
        } else if (o.action.empty()) {
            if (arg != "init" && arg != "status" && arg != "records" && arg != "release") {
                error = "unknown pool command " + arg;
                return false;
            }
            o.action = arg;
        } else if (o.action == "release") {
            o.addresses.push_back(arg);
        } else {
            error = "unexpected argument " + arg;
            return false;
        }
    }
    if (o.help)
        return true;
    const char* pool = getenv(POOL_VARIABLE);
    if (o.url.empty() && pool)
        o.url = pool;
    if (o.action.empty())
        error = "no pool command given";
    else if (o.url.empty())
        error = "no pool given: --pool URL (or PELMO4RIX_POOL)";
    else if (o.action == "init" && o.first.empty() != o.last.empty())
        error = "pool init needs --first and --last together";
    else if (o.action == "release" && o.addresses.empty())
        error = "pool release needs the address: NAP:UAP:LAP";
    else if (o.action == "records" && o.report.json)
        error = "pool records prints CSV; --json is not for it";
    return error.empty();
}

}  // namespace

std::string pool_usage()
{
    return "usage: pelmo4rix pool init --pool URL [--first NAP:UAP:LAP --last NAP:UAP:LAP] [--lease SECONDS]\n"
           "       pelmo4rix pool status --pool URL [--doubt] [--json]\n"
           "       pelmo4rix pool records --pool URL [--since TIME]\n"
           "       pelmo4rix pool release --pool URL NAP:UAP:LAP...\n"
           "The shared address pool on a PostgreSQL server, for gangs and flash with --pool.\n"
           "URL is a connection string or URI (postgresql://user@host:5432/db); without\n"
           "--pool the environment's PELMO4RIX_POOL is used. Passwords come from the URL,\n"
           "~/.pgpass or a service file, and are never shown.\n"
           "  init     sets the pool up in that database (when not yet, or brings an older\n"
           "           layout up to date) and adds a range, which may only vary the LAP and\n"
           "           must not overlap another; --lease sets how long a station's lease lasts\n"
           "           without renewal (default 60 s)\n"
           "  status   the range in use, the next address, and how many addresses are free,\n"
           "           in progress, good, given back and in doubt; --doubt lists each address\n"
           "           in doubt with its station, instance, time reserved, phase and record\n"
           "  records  the production record as CSV (production.csv's columns and station),\n"
           "           from TIME on (UTC unless it has its own offset: 2026-12-10,\n"
           "           2026-12-10T08:00:00Z)\n"
           "  release  gives addresses that are in doubt back, once their units were checked;\n"
           "           refused while the station that reserved one still runs\n"
           "Exit codes: 0 done; 2 a usage error or a request the pool refuses; 32 no address\n"
           "left; 33 the server can't be reached, refuses the login, or holds no pool.\n";
}

namespace {

bool parse_range(const pool_options& o, int64_t& first, int64_t& last, std::string& error)
{
    uint8_t a[6], b[6];
    if (!parse_address(o.first, a) || !parse_address(o.last, b)) {
        error = "bad address in --first or --last: give NAP:UAP:LAP in hexadecimal, e.g. 0604:03:000100";
        return false;
    }
    first = address_number(a);
    last = address_number(b);
    if (first >> 24 != last >> 24)
        error = "a range may only vary the LAP: --first and --last must share NAP and UAP";
    else if (first > last)
        error = "--first comes after --last";
    return error.empty();
}

std::string address_of_number(int64_t number)
{
    uint8_t a[6];
    address_bytes(number, a);
    return address_text(a);
}

constexpr int LEASE_LONGEST_S = 86400;  // a day: longer would keep a dead station's addresses for ever

int init(const pool_options& o, pool_store* store)
{
    int64_t first = -1, last = -1;
    std::string error;
    if (!o.first.empty() && !parse_range(o, first, last, error))
        return report_failure(o.report, EXIT_USAGE, error);
    char* end = nullptr;
    const long lease = o.lease.empty() ? 0 : strtol(o.lease.c_str(), &end, 10);
    if (!o.lease.empty() && (*end || lease < 1 || lease > LEASE_LONGEST_S))
        return report_failure(o.report, EXIT_USAGE,
                              "bad --lease " + o.lease + ": give whole seconds, 1 to " + std::to_string(LEASE_LONGEST_S));
    pool_error failure;
    if (!pool_setup(store, first, last, static_cast<int>(lease), failure))
        return report_failure(o.report, pool_exit_code(failure.problem), failure.message);
    result r;
    add_text(r, "pool", pool_server(store));
    if (first >= 0) {
        add_text(r, "first", address_of_number(first));
        add_text(r, "last", address_of_number(last));
        add_number(r, "addresses", last - first + 1);
    }
    if (lease > 0)
        add_number(r, "lease_seconds", lease);
    print_result(o.report, r);
    return EXIT_OK;
}

int status(const pool_options& o, pool_store* store)
{
    pool_counts c;
    pool_error failure;
    if (!pool_count(store, c, failure))
        return report_failure(o.report, pool_exit_code(failure.problem), failure.message);
    result r;
    add_text(r, "pool", pool_server(store));
    for (auto [key, value] : {std::pair<const char*, int64_t>{"first", c.first}, {"last", c.last}, {"next", c.next}})
        if (value < 0)
            add_null(r, key, key == std::string("next") ? "none left" : "no range");
        else
            add_text(r, key, address_of_number(value));
    add_number(r, "ranges", c.ranges);
    add_number(r, "free", c.free);
    add_number(r, "in_progress", c.in_progress);
    add_number(r, "good", c.good);
    add_number(r, "given_back", c.given_back);
    add_number(r, "in_doubt", c.in_doubt);
    print_result(o.report, r);
    return EXIT_OK;
}

// Every address in doubt, with what the engineer needs to find its unit.
int doubts(const pool_options& o, pool_store* store)
{
    std::vector<pool_doubt> list;
    pool_error failure;
    if (!pool_doubts(store, list, failure))
        return report_failure(o.report, pool_exit_code(failure.problem), failure.message);
    if (o.report.json) {
        std::string json = "[";
        for (const pool_doubt& d : list) {
            const std::string record = d.result.empty() ? "null"
                                       : "{\"result\":" + json_string(d.result) + ",\"error_code\":" +
                                             std::to_string(d.error_code) + ",\"port\":" + json_string(d.port) + "}";
            json += std::string(json.size() > 1 ? "," : "") + "{\"address\":" +
                    json_string(address_of_number(d.address)) + ",\"station\":" + json_string(d.station) +
                    ",\"instance\":" + json_string(d.instance) + ",\"reserved\":" + json_string(d.reserved) +
                    ",\"phase\":" + (d.phase.empty() ? "null" : json_string(d.phase)) + ",\"record\":" + record + "}";
        }
        result r;
        add_text(r, "pool", pool_server(store));
        add_json(r, "in_doubt", json + "]", "");
        print_result(o.report, r);
        return EXIT_OK;
    }
    printf("address,station,instance,reserved,phase,result,error_code,port\n");
    for (const pool_doubt& d : list)
        printf("%s,%s,%s,%s,%s,%s,%s,%s\n", address_of_number(d.address).c_str(), csv_field(d.station).c_str(),
               d.instance.c_str(), d.reserved.c_str(), csv_field(d.phase).c_str(), d.result.c_str(),
               d.result.empty() ? "" : std::to_string(d.error_code).c_str(), csv_field(d.port).c_str());
    return EXIT_OK;
}

int records(const pool_options& o, pool_store* store)
{
    std::vector<pool_record> lines;
    pool_error failure;
    if (!pool_records(store, o.since, lines, failure))
        return report_failure(o.report, pool_exit_code(failure.problem), failure.message);
    std::string header = RECORD_HEADER;
    printf("%s,station\n", header.substr(0, header.size() - 1).c_str());
    for (const pool_record& l : lines)
        printf("%s,%s,%s,%s,%s,%s,%d,%d,%.1f,%s\n", l.time.c_str(), csv_field(l.port).c_str(),
               address_of_number(l.address).c_str(), csv_field(l.image_version).c_str(),
               csv_field(l.image_checksum).c_str(), l.kept ? "kept" : l.good ? "good" : "failed", l.error_code,
               l.attempts, l.seconds,
               csv_field(l.station).c_str());
    return EXIT_OK;
}

// Each address on its own: one refused leaves the others released; the first refusal's
// exit code, and every refusal said.
int release(const pool_options& o, pool_store* store)
{
    std::vector<int64_t> numbers;
    for (const std::string& text : o.addresses) {
        uint8_t a[6];
        if (!parse_address(text, a))
            return report_failure(o.report, EXIT_USAGE,
                                  "bad address " + text + ": give NAP:UAP:LAP in hexadecimal, e.g. 0604:03:000100");
        numbers.push_back(address_number(a));
    }
    int code = EXIT_OK;
    std::string released, refused;
    for (int64_t number : numbers) {
        pool_error failure;
        const std::string text = address_of_number(number);
        if (pool_release(store, number, failure)) {
            released += (released.empty() ? "" : " ") + text;
            continue;
        }
        refused += (refused.empty() ? "" : "; ") + text + " is not released: " + failure.message;
        if (code == EXIT_OK)
            code = pool_exit_code(failure.problem);
    }
    if (code != EXIT_OK)
        return report_failure(o.report, code, refused + (released.empty() ? "" : "; released: " + released));
    result r;
    add_text(r, "released", released);
    print_result(o.report, r);
    return EXIT_OK;
}

}  // namespace

int pool_main(int argc, char** argv, const cli_options& globals)
{
    pool_options o;
    o.report = globals;
    o.report.command = "pool";
    std::string error;
    if (!parse_pool_options(argc, argv, o, error)) {
        o.report.json = o.report.json || json_asked(argc, argv);
        return report_usage_error(o.report, "pelmo4rix pool", error, pool_usage());
    }
    if (o.help) {
        print_help(o.report, pool_usage());
        return EXIT_OK;
    }
    pool_error failure;
    pool_store* store = pool_open(o.url, o.action == "init", failure);
    if (!store)
        return report_failure(o.report, pool_exit_code(failure.problem), failure.message);
    int code = o.action == "init"     ? init(o, store)
               : o.action == "status" ? (o.doubt ? doubts(o, store) : status(o, store))
               : o.action == "records" ? records(o, store)
                                       : release(o, store);
    pool_close(store);
    return code;
}
