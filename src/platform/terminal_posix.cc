#include "platform/terminal.h"

#include <unistd.h>

#include <cstdio>

bool StdoutIsTerminal() { return isatty(fileno(stdout)) != 0; }
