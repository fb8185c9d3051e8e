// Facts about the process's terminal.
#ifndef PITWALL_PLATFORM_TERMINAL_H_
#define PITWALL_PLATFORM_TERMINAL_H_

// True when standard output is a terminal (not a pipe or a file).
bool StdoutIsTerminal();

#endif  // PITWALL_PLATFORM_TERMINAL_H_
