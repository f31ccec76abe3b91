// Console operations of the tools; one implementation per platform.
#pragma once

void console_begin();   // ready the console for a tool's whole run (keys without echo or ENTER)
void clear_console();   // clear the screen (nothing when output is not a terminal)
int read_key();         // wait for one key, no echo, no ENTER; end of input gives 'q'
int key_waiting();      // nonzero when a key press waits; does not consume it
int read_input_char();  // one character of line-buffered standard input; end of input gives 'q'
