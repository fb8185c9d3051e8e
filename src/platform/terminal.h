// Facts about the process's terminal.
#ifndef PITWALL_PLATFORM_TERMINAL_H_
#define PITWALL_PLATFORM_TERMINAL_H_

// True when standard output is a terminal (not a pipe or a file).
bool StdoutIsTerminal();

// Makes the terminal on standard output understand ANSI escape sequences
// (colour, cursor moves) and reports whether it does. A POSIX terminal
// always does; a Windows console does once virtual-terminal processing is
// switched on (Windows 10 and later). False when standard output is no
// terminal.
bool EnableTerminalEscapes();

// The rows and columns of the terminal on standard output; false when
// standard output is no terminal or its size cannot be read.
bool TerminalSize(int* rows, int* columns);

#endif  // PITWALL_PLATFORM_TERMINAL_H_
