// The three tools; the entry runs one of them, chosen by run_mode.
#pragma once

void trace_capture_tool();
void firmware_update_tool();
void production_station();

// Runs the tool that run_mode names: 1 the production station, 2 the trace capture tool,
// any other value the firmware update tool.
void run_tool();

// When a signal ends the program: stops the unit's trace if it may be on (as the exit key
// would) and gives the port back at once. Does only what a signal handler may do.
void release_at_interrupt();

// The trace capture tool's two steps: turn the unit's debug port on, then log until a key.
void capture_trace();
// One read of the trace, appended to the trace file; the bytes read (0 to 256).
int read_trace_chunk();
