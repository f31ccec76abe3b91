#include "tools/production_record.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "image/image.h"
#include "tools/file_os.h"

std::string utc_now()
{
    std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));  // one thread: the shared result is ours
    return text;
}

std::string checksum_text()
{
    uint32_t crc = 0;
    for (int i = 3; i >= 0; i--)
        crc = crc << 8 | expected_crc[i];
    char text[12];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
    return text;
}

std::string csv_field(const std::string& field)
{
    // A spreadsheet runs a cell that begins with one of these as a formula; a leading ' makes
    // it text. One that splits on another separator (';' in much of Europe, a tab, a blank, '|',
    // a line end) sees a new cell after each of them, so those are guarded too.
    static const char formula_start[] = "=+-@\t\r";
    static const char separators[] = ",; \t|\r\n";
    auto one_of = [](char c, const char* set) { return c != '\0' && strchr(set, c) != nullptr; };
    std::string text;
    for (size_t i = 0; i < field.size(); i++) {
        if ((i == 0 || one_of(field[i - 1], separators)) && one_of(field[i], formula_start))
            text += '\'';
        text += field[i];
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

namespace {

// The record's header: the base columns, the change columns, the baud column, the slot column last.
std::string record_header(bool change_columns, bool baud_column, bool slot_column)
{
    std::string header = change_columns ? RECORD_HEADER_CHANGES : RECORD_HEADER;
    if (baud_column)
        header.insert(header.size() - 1, RECORD_BAUD_COLUMN);
    if (slot_column)
        header.insert(header.size() - 1, RECORD_SLOT_COLUMN);
    return header;
}

// Which of the optional columns the record's first line names.
void header_columns(FILE* file, bool& change_columns, bool& baud_column, bool& slot_column)
{
    char first[sizeof RECORD_HEADER_CHANGES + sizeof RECORD_BAUD_COLUMN + sizeof RECORD_SLOT_COLUMN] = "";
    change_columns = baud_column = slot_column = false;
    if (fseek(file, 0, SEEK_SET) != 0 || !fgets(first, sizeof first, file))
        return;
    for (bool changes : {false, true})
        for (bool baud : {false, true})
            for (bool slot : {false, true})
                if (record_header(changes, baud, slot) == first) {
                    change_columns = changes;
                    baud_column = baud;
                    slot_column = slot;
                }
}

}  // namespace

std::string record_line(const production_entry& e, bool change_columns, bool baud_column, bool slot_column)
{
    const uint8_t* a = e.address;
    char line[320];
    int n = snprintf(line, sizeof line, "%s,%s,%02x%02x:%02x:%02x%02x%02x,%s,%s,%s,%d,%d,%.1f",
                     (e.time.empty() ? utc_now() : e.time).c_str(),
                     csv_field(e.port).c_str(), a[5], a[4], a[3], a[2], a[1], a[0], image_record_version,
                     checksum_text().c_str(), e.good ? (e.kept ? "kept" : "good") : "failed", e.error_code, e.attempts,
                     e.seconds);
    if (change_columns && e.written >= 0)
        snprintf(line + n, sizeof line - n, ",%d,%d,%.1f", e.written, e.skipped, e.seconds_saved);
    else if (change_columns)
        snprintf(line + n, sizeof line - n, ",,,");
    std::string text = line;
    if (baud_column)
        text += "," + (e.baud ? std::to_string(e.baud) : "");
    if (slot_column)
        text += "," + csv_field(e.slot);
    return text + "\n";
}

int append_record(const std::string& path, const production_entry& entry)
{
    FILE* file = os_file_open(path.c_str(), "a+b");
    if (!file)
        return 0;
    const bool fresh = fseek(file, 0, SEEK_END) == 0 && ftell(file) == 0;
    bool change_columns = entry.written >= 0, baud_column = entry.baud_column, slot_column = entry.slot_column;
    if (!fresh)
        header_columns(file, change_columns, baud_column, slot_column);
    std::string text = record_line(entry, change_columns, baud_column, slot_column);
    if (fresh)
        text = record_header(change_columns, baud_column, slot_column) + text;
    int ok = fseek(file, 0, SEEK_END) == 0;  // from reading back to writing
    ok = fwrite(text.data(), 1, text.size(), file) == text.size() && ok;
    ok = os_file_sync(file) && ok;
    return fclose(file) == 0 && ok;
}

std::string record_beside(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? PRODUCTION_RECORD : path.substr(0, slash + 1) + PRODUCTION_RECORD;
}

std::string address_of(const uint8_t a[6])
{
    char text[16];
    snprintf(text, sizeof text, "%02x%02x:%02x:%02x%02x%02x", a[5], a[4], a[3], a[2], a[1], a[0]);
    return text;
}
