// The production record: one CSV line per programmed unit, appended to a file that the
// factory keeps, so that every address on a unit can be traced to a time, a port and a result.
// The gang station and the production station write the same lines.
#pragma once

#include <cstdint>
#include <string>

constexpr char PRODUCTION_RECORD[] = "production.csv";  // beside the address file
constexpr char RECORD_HEADER[] =
    "time,port,address,image_version,image_checksum,result,error_code,attempts,seconds\n";
// The header of a record begun by a unit programmed with only the changed sectors: three
// columns more, empty on the lines of units programmed whole.
constexpr char RECORD_HEADER_CHANGES[] =
    "time,port,address,image_version,image_checksum,result,error_code,attempts,seconds,written,skipped,seconds_saved\n";

// A record begun by a unit of a gang run with --baud has one column more at its end, `baud`:
// the rate the unit's loader ran at (empty for a unit that failed before it was reached).
constexpr char RECORD_BAUD_COLUMN[] = ",baud";

// A record begun by a gang run with --labels has one column more at its very end, `slot`: the
// label of the slot the unit was programmed on (the port column keeps the port's name).
constexpr char RECORD_SLOT_COLUMN[] = ",slot";

struct production_entry {
    std::string port;
    uint8_t address[6];  // in bt_address order
    bool good;
    int error_code;      // 0 for a good unit
    int attempts;
    double seconds;
    int written = -1;          // only the changed sectors programmed: sectors written; -1 otherwise
    int skipped = -1;          // sectors left as the unit held them
    double seconds_saved = 0;  // against the whole plan
    unsigned baud = 0;         // --baud given: the rate the unit ran at (0: not reached); else unused
    bool baud_column = false;  // --baud given: the record has the baud column
    std::string slot{};        // --labels given: the slot's label
    bool slot_column = false;  // --labels given: the record has the slot column
    std::string time{};        // when the result was known, as utc_now() gives it; empty: now
    bool kept = false;         // good with the address it held already (a re-work): result "kept"
};

// The current UTC time as the record writes it (2026-12-10T11:52:54Z).
std::string utc_now();
// An address as the record writes it (0002:5b:00e9a1; `a` in bt_address order).
std::string address_of(const uint8_t a[6]);
// The image's checksum as the record and the image command show it (3922BA1C).
std::string checksum_text();
// A text as one CSV field: a ' before each =, +, -, @, tab or CR that begins it or follows a
// separator that a spreadsheet may split on (a spreadsheet would run that cell as a formula),
// quoted when it holds a comma, a quote or a line end.
std::string csv_field(const std::string& text);

// The line of `entry`, stamped with the current UTC time and the image in use; with
// `change_columns` the three columns of RECORD_HEADER_CHANGES too, then with `baud_column` the
// baud column, with `slot_column` the slot column last.
std::string record_line(const production_entry& entry, bool change_columns = false, bool baud_column = false,
                        bool slot_column = false);
// Appends the line of `entry` to the record at `path` (the header first when the file is new)
// and flushes it to the disk; 1 when it is there. The file's header decides the columns: a new
// file has the change columns, the baud column and the slot column when its first entry has them.
int append_record(const std::string& path, const production_entry& entry);
// The record beside the file at `path`: the same directory, PRODUCTION_RECORD.
std::string record_beside(const std::string& path);
