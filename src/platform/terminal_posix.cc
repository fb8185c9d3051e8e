#include <unistd.h>

#include <cstdio>

#include "platform/terminal.h"

bool StdoutIsTerminal() { return isatty(fileno(stdout)) != 0; }

bool EnableTerminalEscapes() { return StdoutIsTerminal(); }
