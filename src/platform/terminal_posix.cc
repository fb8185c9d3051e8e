#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/terminal.h"

bool StdoutIsTerminal() { return isatty(fileno(stdout)) != 0; }

bool EnableTerminalEscapes() { return StdoutIsTerminal(); }

bool TerminalSize(int* rows, int* columns) {
  winsize size{};
  if (!StdoutIsTerminal() || ioctl(fileno(stdout), TIOCGWINSZ, &size) != 0) return false;
  if (size.ws_row == 0 || size.ws_col == 0) return false;
  *rows = size.ws_row;
  *columns = size.ws_col;
  return true;
}
