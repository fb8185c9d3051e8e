#include "history_api.h"

#include <nlohmann/json.hpp>

#include "history_views.h"
#include "race_store.h"

namespace {

constexpr std::string_view kPrefix = "/api/sessions";

HistoryAnswer Error(int status, const std::string& message) {
  return {status, nlohmann::json{{"error", message}}.dump(
                      -1, ' ', false, nlohmann::json::error_handler_t::replace)};
}

// "latest" or a session id of plain digits: 0 for the latest, -1 for neither.
std::int64_t SessionId(std::string_view text) {
  if (text == "latest") return 0;
  if (text.empty() || text.size() > 12) return -1;
  std::int64_t id = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    id = id * 10 + (c - '0');
  }
  return id > 0 ? id : -1;
}

}  // namespace

bool IsHistoryPath(std::string_view path) {
  return path.substr(0, kPrefix.size()) == kPrefix &&
         (path.size() == kPrefix.size() || path[kPrefix.size()] == '/');
}

HistoryAnswer AnswerHistory(const std::string& db_path, std::string_view path) {
  if (db_path.empty()) {
    return Error(503, "this web view keeps no race history (it was started with --no-record)");
  }
  std::string_view rest = path.substr(kPrefix.size());
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string error;
  RaceStore store;
  const auto open = [&] {
    if (store.OpenForReading(db_path, &error)) return true;
    return false;
  };
  if (rest.empty()) {
    if (!open()) return Error(503, error);
    const std::vector<SessionSummary> sessions = store.Sessions(&error);
    if (!error.empty()) return Error(503, error);
    return {200, SessionsJson(sessions)};
  }
  // "/ID/what"
  const std::size_t slash = rest.find('/', 1);
  if (rest.front() != '/' || slash == std::string_view::npos) return Error(404, "not found");
  const std::int64_t id = SessionId(rest.substr(1, slash - 1));
  const std::string_view what = rest.substr(slash + 1);
  if (id < 0 || (what != "results" && what != "laps" && what != "events")) {
    return Error(404, "not found");
  }
  if (!open()) return Error(503, error);
  const std::optional<SessionRecord> record = store.Session(id, &error);
  if (!record) {
    if (!error.empty()) return Error(503, error);
    return Error(404, id == 0 ? "no session recorded yet" : "no session " + std::to_string(id));
  }
  if (what == "results") return {200, ResultsJson(*record)};
  if (what == "laps") return {200, LapsJson(*record)};
  return {200, EventsJson(*record)};
}
