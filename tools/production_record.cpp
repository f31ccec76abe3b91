#include "tools/production_record.h"

#include <cstdio>
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

std::string csv_field(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string record_line(const production_entry& e)
{
    const uint8_t* a = e.address;
    char line[256];
    snprintf(line, sizeof line, "%s,%s,%02x%02x:%02x:%02x%02x%02x,%s,%s,%s,%d,%d,%.1f\n", utc_now().c_str(),
             csv_field(e.port).c_str(), a[5], a[4], a[3], a[2], a[1], a[0], image_version, checksum_text().c_str(),
             e.good ? "good" : "failed", e.error_code, e.attempts, e.seconds);
    return line;
}

int append_record(const std::string& path, const production_entry& entry)
{
    FILE* file = fopen(path.c_str(), "ab");
    if (!file)
        return 0;
    std::string text = record_line(entry);
    if (fseek(file, 0, SEEK_END) == 0 && ftell(file) == 0)
        text = RECORD_HEADER + text;
    int ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = os_file_sync(file) && ok;
    return fclose(file) == 0 && ok;
}

std::string record_beside(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? PRODUCTION_RECORD : path.substr(0, slash + 1) + PRODUCTION_RECORD;
}
