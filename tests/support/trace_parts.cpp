#include "support/trace_parts.h"

const char TRACE_BANNER_LINE[] = "  Pelmo4Rix Version 4 Log Capture Utility. Version 1.03 \n";

trace_parts split_trace(const std::string& file, const std::string& trace)
{
    trace_parts parts;
    const std::string line = "\n Debug port enabled ";
    size_t at = file.find(line);
    if (file.rfind(TRACE_BANNER_LINE, 0) != 0 || at == std::string::npos)
        return parts;
    size_t line_end = file.find('\n', at + line.size());
    int count = std::stoi(file.substr(at + line.size(), line_end - at - line.size()));
    size_t banner_end = sizeof TRACE_BANNER_LINE - 1;
    if (count < 100 || at < banner_end + static_cast<size_t>(count))
        return parts;
    parts.enabled_read = file.substr(at - count, count);
    parts.first_read = file.substr(banner_end, at - count - banner_end);
    parts.logged = file.substr(line_end + 1);
    parts.ok = trace.compare(0, count, parts.enabled_read) == 0;
    return parts;
}
