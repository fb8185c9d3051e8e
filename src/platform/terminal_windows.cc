#include <io.h>

#include <cstdio>

#include "platform/terminal.h"
#include "platform/windows_api.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

bool EnableTerminalEscapes() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool TerminalSize(int* rows, int* columns) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(out, &info)) return false;
  // The visible window, not the whole scroll-back buffer.
  *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  *columns = info.srWindow.Right - info.srWindow.Left + 1;
  return *rows > 0 && *columns > 0;
}
