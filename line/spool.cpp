// The spool of the hooks and labels (see spool.h).
#include "line/spool.h"

#include <cstdio>
#include <set>

#include "tools/file_os.h"

namespace {

// A field of a spool line, with tabs, line ends and backslashes written as escapes.
std::string spool_field(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return out;
}

std::vector<std::string> spool_fields(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            char e = line[++i];
            fields.back() += e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// Appends `line` to the spool and flushes it to the disk; 1 when it is there.
int append_spool(const std::string& path, const std::string& line)
{
    FILE* file = fopen(path.c_str(), "ab");
    if (!file)
        return 0;
    std::string text = line + "\n";
    int ok = fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = os_file_sync(file) && ok;
    return fclose(file) == 0 && ok;
}

std::string job_line(const delivery& d)
{
    std::string line = "job\t" + spool_field(d.id) + "\t" + d.kind + "\t" + spool_field(d.target) + "\t" +
                       spool_field(d.input) + "\t" + spool_field(d.port) + "\t" + spool_field(d.address);
    for (const std::string& variable : d.environment)
        line += "\t" + spool_field(variable);
    return line;
}

bool parse_job_line(const std::vector<std::string>& f, delivery& d)
{
    if (f.size() < 7 || f[0] != "job" || (f[2] != "hook" && f[2] != "label"))
        return false;
    d.id = f[1];
    d.kind = f[2];
    d.target = f[3];
    d.input = f[4];
    d.port = f[5];
    d.address = f[6];
    d.environment.assign(f.begin() + 7, f.end());
    d.from_spool = true;
    return true;
}

}  // namespace

int spool_failed(const std::string& path, const delivery& d)
{
    return append_spool(path, job_line(d));
}

int spool_delivered(const std::string& path, const std::string& id)
{
    return append_spool(path, "done\t" + spool_field(id));
}

int pending_jobs(const std::string& path, std::vector<delivery>& jobs)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return 0;
    std::vector<delivery> all;
    std::set<std::string> done;
    std::string line;
    for (int c; (c = fgetc(file)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        std::vector<std::string> f = spool_fields(line);
        delivery d;
        if (f.size() == 2 && f[0] == "done")
            done.insert(f[1]);
        else if (parse_job_line(f, d))
            all.push_back(d);
        line.clear();  // a cut last line (a gang that died writing it) is left out
    }
    fclose(file);
    for (const delivery& d : all)
        if (!done.count(d.id))
            jobs.push_back(d);
    return 1;
}
