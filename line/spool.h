// The spool of the hooks and labels (hooks.h): a line per delivery that failed ("job") and a
// line per one delivered later from it ("done"). Only ever appended to and flushed to the
// disk, so that a gang and a replay may use it at the same time. Fields are tab-separated,
// with tabs, line ends and backslashes escaped.
#pragma once

#include <string>
#include <vector>

// A hook to run or a label to send, and the unit it is for.
struct delivery {
    std::string id;      // its name in the spool
    std::string kind;    // "hook" or "label"
    std::string target;  // the hook's command, or where the label goes
    std::string input;   // on the process's standard input: the unit's JSON line, or the label
    std::vector<std::string> environment;
    std::string port, address;
    bool from_spool = false;
};

// Appends the failed delivery `d` to the spool at `path`; 1 when it is on the disk.
int spool_failed(const std::string& path, const delivery& d);
// Marks the delivery named `id`, sent from the spool, delivered; 1 when that is on the disk.
int spool_delivered(const std::string& path, const std::string& id);
// The deliveries of the spool not delivered yet, in the order they failed; 0 when the spool
// can't be read.
int pending_jobs(const std::string& path, std::vector<delivery>& jobs);
