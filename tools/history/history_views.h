// What the race history looks like to its users: JSON for the web API and
// `--format json` (layouts in docs/results.schema.json, docs/laps.schema.json,
// docs/events.schema.json), CSV for spreadsheets, text for the terminal (80
// columns) and a standalone printable HTML page of the results.
//
// A session with classes (recorded with a league, or given one by
// ApplyLeague) shows each car's class and place in it, and after the whole
// field each class's own classification with its fastest lap; one without
// shows none of that. A car number shows beside its driver's name.
//
// Thread-safety: plain functions without state.
#ifndef PITWALL_TOOLS_HISTORY_HISTORY_VIEWS_H_
#define PITWALL_TOOLS_HISTORY_HISTORY_VIEWS_H_

#include <string>
#include <vector>

#include "race_store.h"

// The version of the results, laps and events objects; it grows when a
// field changes meaning or goes away (new fields do not change it).
inline constexpr int kHistoryJsonVersion = 1;

std::string SessionsJson(const std::vector<SessionSummary>& sessions);
std::string ResultsJson(const SessionRecord& record);
// `driver` not empty: only the laps of the drivers whose name holds it (any case).
std::string LapsJson(const SessionRecord& record, const std::string& driver = "");
std::string EventsJson(const SessionRecord& record);
// One event for the live stream: the event object with its "session_id".
std::string EventJson(const StoredEvent& event);

// Lines ending in '\n'. Times in local time.
std::string SessionsText(const std::vector<SessionSummary>& sessions);
std::string ResultsText(const SessionRecord& record);
std::string ResultsCsv(const SessionRecord& record);
std::string ResultsHtml(const SessionRecord& record);
std::string LapsCsv(const SessionRecord& record, const std::string& driver = "");
std::string EventsText(const SessionRecord& record);

// Identifies the cars of a stored session anew from `league`, whatever
// league (if any) it was recorded with: each car, result row, lap and event
// (by its driver's name, League::Find) takes the number, short name, team,
// nation and class the league gives, none for a driver it does not name;
// the session's classes become the league's, and the class positions and
// gaps are worked out again. The events' texts stay as they were told.
void ApplyLeague(const League& league, SessionRecord* record);

// "2026-12-09 14:05" in local time.
std::string LocalTimeText(double unix_s);
// The laps of `record` by the drivers whose name holds `driver` (any case).
std::vector<LapRecord> LapsOf(const SessionRecord& record, const std::string& driver);

#endif  // PITWALL_TOOLS_HISTORY_HISTORY_VIEWS_H_
