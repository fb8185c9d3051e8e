// The race store of a build without SQLite: every open says so.
#include "race_store.h"

namespace {

std::string Unavailable(const std::string& path) {
  return path + ": this pitwall was built without SQLite, so it keeps no race history";
}

}  // namespace

struct RaceStore::Db {};

RaceStore::RaceStore() = default;
RaceStore::~RaceStore() = default;
void RaceStore::Close() { db_.reset(); }
bool RaceStore::OpenForRecording(const std::string& path, std::string* error) {
  *error = Unavailable(path);
  return false;
}
bool RaceStore::OpenForReading(const std::string& path, std::string* error) {
  *error = Unavailable(path);
  return false;
}
std::optional<SessionRecord> RaceStore::OpenSession(const std::string&, std::int32_t,
                                                    std::string* error) {
  *error = Unavailable(path_);
  return std::nullopt;
}
bool RaceStore::BeginSession(const SessionFacts&, double, std::int64_t*, std::string* error) {
  *error = Unavailable(path_);
  return false;
}
bool RaceStore::Save(std::int64_t, const SessionFacts&, const StoryUpdate&,
                     const std::vector<CarStanding>&, double, std::vector<StoredEvent>*,
                     std::string* error, const std::vector<LeagueClass>*) {
  *error = Unavailable(path_);
  return false;
}
bool RaceStore::EndSession(std::int64_t, const SessionFacts&, const std::vector<CarStanding>&,
                           double, std::string* error) {
  *error = Unavailable(path_);
  return false;
}
std::vector<SessionSummary> RaceStore::Sessions(std::string* error) {
  *error = Unavailable(path_);
  return {};
}
std::optional<SessionRecord> RaceStore::Session(std::int64_t, std::string* error) {
  *error = Unavailable(path_);
  return std::nullopt;
}
