// kvtr-log's input: standard input line by line, and the stop requests of
// the platform (Ctrl+C, Ctrl+Break and closing the console on Windows;
// SIGINT and SIGTERM elsewhere).
#pragma once

#include <string>

namespace kvtr::logtool {

// Calls `stop` when the process is told to stop: on a thread of its own on
// Windows; elsewhere the reading loop ends, so that every line it read was
// submitted, and `stop` runs only if that cannot be arranged. `stop` ends
// the process.
void StartStopHandling(void (*stop)());

// Hands each line of standard input to `submit` (without its line feed)
// until the input ends or a stop comes; a last line without its line feed
// counts as a line.
void ReadLines(void (*submit)(std::string line));

}  // namespace kvtr::logtool
