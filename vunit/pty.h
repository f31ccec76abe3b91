// The unit's pseudo-terminal pair and its publication as a port (Linux).
#pragma once

#include <cstdint>
#include <string>

namespace vunit_detail {

// Opens a pty pair: the master (non-blocking, raw) and the unit's own descriptor of the
// terminal side, which stays open so that the program's closes never hang the line up.
bool open_pair(int& master, int& terminal, std::string& terminal_path, std::string& error);
void close_pair(int& master, int& terminal);

// The speed the program set on its side of the line, in baud; 0 when unknown.
uint32_t line_speed(int master);

// Watches the terminal side for the program's opens and closes (inotify); -1 when it can't.
int watch_terminal(const std::string& terminal_path);
// Follows the program's opens and closes in order, counting its descriptors in `openers`.
// When the last one closes, the line is released as a real port's would be: the program's
// exclusive claim (TIOCEXCL) goes, and bytes it never read are dropped. Without this, our
// own descriptor would keep the claim alive and a non-root program could not open again.
void follow_openers(int watch, int terminal, int& openers);

// Links DIR/NAME to the terminal side and, with `list`, appends NAME to DIR/SERIALCOMM.
bool publish_port(const std::string& dir, const std::string& name, bool list, const std::string& terminal_path,
                  std::string& link_path, std::string& error);
// Removes the link if it still points at our terminal; clears `link_path`.
void unpublish_port(std::string& link_path, const std::string& terminal_path);

}  // namespace vunit_detail
