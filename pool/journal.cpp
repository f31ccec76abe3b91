// The pool's journal: a line per unit's result that the server could not take yet (see
// journal.h).
#include "pool/journal.h"

#include <cstdio>
#include <cstdlib>

#include "tools/file_os.h"

namespace {

const char* const OUTCOMES[] = {"good", "give_back", "in_doubt"};

// A text field of a journal line: tabs and line ends would break the line apart.
std::string journal_field(std::string text)
{
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

}  // namespace

std::string journal_line(const pool_record& r, pool_outcome outcome)
{
    char numbers[96];
    snprintf(numbers, sizeof numbers, "%lld\t%s\t%lld\t%d\t%d\t%d\t%.1f", static_cast<long long>(r.reservation),
             OUTCOMES[outcome], static_cast<long long>(r.address), r.good, r.error_code, r.attempts, r.seconds);
    return std::string(numbers) + "\t" + journal_field(r.time) + "\t" + journal_field(r.port) + "\t" +
           journal_field(r.image_version) + "\t" + journal_field(r.image_checksum) + "\t" + journal_field(r.station) +
           "\n";
}

bool parse_journal_line(const std::string& line, pool_record& r, pool_outcome& outcome)
{
    std::vector<std::string> f;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        f.push_back(line.substr(start, tab - start));
    f.push_back(line.substr(start));
    if (f.size() != 12)
        return false;
    int o = 0;
    while (o < 3 && f[1] != OUTCOMES[o])
        o++;
    if (o == 3)
        return false;
    outcome = static_cast<pool_outcome>(o);
    r.reservation = strtoll(f[0].c_str(), nullptr, 10);
    r.address = strtoll(f[2].c_str(), nullptr, 10);
    r.good = f[3] == "1";
    r.error_code = atoi(f[4].c_str());
    r.attempts = atoi(f[5].c_str());
    r.seconds = strtod(f[6].c_str(), nullptr);
    r.time = f[7];
    r.port = f[8];
    r.image_version = f[9];
    r.image_checksum = f[10];
    r.station = f[11];
    return r.reservation > 0;
}

int append_journal(const std::string& path, const std::string& line)
{
    FILE* file = os_file_open(path.c_str(), "ab");
    if (!file)
        return 0;
    int ok = fwrite(line.data(), 1, line.size(), file) == line.size();
    ok = os_file_sync(file) && ok;
    return fclose(file) == 0 && ok;
}

std::vector<std::string> journal_lines(const std::string& path)
{
    std::vector<std::string> lines;
    FILE* file = os_file_open(path.c_str(), "rb");
    if (!file)
        return lines;
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, n);
    fclose(file);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;  // a last line without its end was cut by a crash before it was flushed
}

int rewrite_journal(const std::string& path, const std::vector<std::string>& lines)
{
    std::string temporary;
    FILE* file = os_file_temporary(path.c_str(), temporary);
    if (!file)
        return 0;
    int ok = 1;
    for (const std::string& line : lines)
        ok = ok && fwrite(line.data(), 1, line.size(), file) == line.size() && fputc('\n', file) != EOF;
    ok = os_file_sync(file) && ok;
    ok = fclose(file) == 0 && ok;
    return ok && os_file_replace(temporary.c_str(), path.c_str());
}

int set_aside_torn_line(const std::string& path, std::string& note)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return 1;  // none yet
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, n);
    fclose(file);
    if (text.empty() || text.back() == '\n')
        return 1;
    const size_t cut = text.rfind('\n') + 1;  // npos + 1 is 0: the whole text is the torn line
    const std::string side = path + ".torn";
    FILE* aside = fopen(side.c_str(), "ab");
    int ok = aside && fwrite(text.data() + cut, 1, text.size() - cut, aside) == text.size() - cut &&
             fputc('\n', aside) != EOF && os_file_sync(aside);
    ok = (aside && fclose(aside) == 0) && ok;
    ok = ok && rewrite_journal(path, journal_lines(path));  // its whole lines only
    note = ok ? "the journal " + path + " ended in a torn line (a crash while writing it): set aside in " + side
              : "the journal " + path + " ends in a torn line that can't be set aside in " + side;
    return ok;
}

