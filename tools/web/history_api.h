// The race history's part of the web API, read from the database file:
//   GET /api/sessions                   the recorded sessions, newest first
//   GET /api/sessions/ID/results        a session's classification (ID a
//   GET /api/sessions/ID/laps           number, or "latest"), its laps
//   GET /api/sessions/ID/events         and its events
// Unknown sessions are 404 {"error":"no session 99"}; without a database
// (none given, not there yet, or not readable) 503 {"error":...}.
//
// Thread-safety: plain functions; each call opens the file for itself.
#ifndef PITWALL_TOOLS_WEB_HISTORY_API_H_
#define PITWALL_TOOLS_WEB_HISTORY_API_H_

#include <optional>
#include <string>
#include <string_view>

struct HistoryAnswer {
  int status = 200;
  std::string body;  // JSON
};

// True for the paths above and any other under /api/sessions.
bool IsHistoryPath(std::string_view path);

// The answer for `path` from the file `db_path` (empty: this web view keeps
// no history).
HistoryAnswer AnswerHistory(const std::string& db_path, std::string_view path);

#endif  // PITWALL_TOOLS_WEB_HISTORY_API_H_
