// The Windows API as the platform layer's Windows files include it: one
// place for the macros that trim <windows.h> and for the order Winsock
// needs (winsock2.h before windows.h, or the old winsock.h comes in).
// Only *_windows.cc files and Windows-only code include this header.
#ifndef PITWALL_PLATFORM_WINDOWS_API_H_
#define PITWALL_PLATFORM_WINDOWS_API_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

// The system's text for a Windows or Winsock error code, without the line
// break and full stop it ends with; "<fallback> <code>" when the system has
// no text for it.
std::string WindowsErrorText(unsigned long code, const char* fallback);

#endif  // PITWALL_PLATFORM_WINDOWS_API_H_
