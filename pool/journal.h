// The pool's journal: a unit's result that the pool's server could not take yet is a line
// here, appended and flushed to the disk before the unit counts as ended, and sent when the
// server answers. Lines are tab-separated; a rewrite after sending is one step (copy, flush,
// rename), so a crash leaves the old journal or the new one, never half of one.
#pragma once

#include <string>
#include <vector>

#include "pool/pool_store.h"

// The journal's line of `record` with its address's `outcome`, line end included.
std::string journal_line(const pool_record& record, pool_outcome outcome);
// A journal line back into its record and outcome; false when it is none.
bool parse_journal_line(const std::string& line, pool_record& record, pool_outcome& outcome);
// Appends `line` and flushes it to the disk; 1 when it is there.
int append_journal(const std::string& path, const std::string& line);
// The whole lines of the file at `path`, without their line ends (none when it can't be read).
std::vector<std::string> journal_lines(const std::string& path);
// The journal holding only `lines`, in one step (copy, flush, rename).
int rewrite_journal(const std::string& path, const std::vector<std::string>& lines);
// A last line without its line end (a power cut, a full disk) would swallow the next line
// appended after it: it goes to "<journal>.torn" (appended, flushed) and the journal keeps
// its whole lines. `note` names the side file; 0 when the journal could not be mended.
int set_aside_torn_line(const std::string& path, std::string& note);
