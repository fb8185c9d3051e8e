// The league file: who drives what. The simulator's scoring data names
// only the driver; a league organiser keeps, in one CSV file a spreadsheet
// can save, each driver's car number, short name, team, class and
// nationality, and each class's name, colour and order. Every view of the
// tools reads it through here.
//
// The file (UTF-8, a byte-order mark allowed; RFC 4180 quoting: a field in
// double quotes may hold commas, line breaks and "" for a quote; lines end
// in CRLF or LF):
//
//   kind,name,also,number,short,team,class,nation,colour
//   class,GT3,,,,,,,#e4572e
//   class,GT4,,,,,,,#2e86de
//   driver,Ada Brennan,A. Brennan,7,BRE,Brennan Racing,GT3,IE,
//
// - The first row names the columns, in any order, each at most once:
//   `kind`, `name`, `also`, `number`, `short`, `team`, `class`, `nation`,
//   `colour` (or `color`) and `notes` (ignored). `name` is required; any
//   other may be left out. Every row has as many fields as the header.
// - `kind` is "class" or "driver" (any case; empty reads "driver").
// - A class row defines a class: its `name` and `colour` ("#rrggbb" or
//   "#rgb"); the class rows' order is the classes' order. Nothing else is
//   filled in on a class row.
// - A driver row: `name`, the name the simulator gives; `also` a second
//   name for the same driver; `number` the car number (0 to 999);
//   `short` up to three characters (made from the name's last word when
//   empty); `team`; `class`, a class defined in the file; `nation` an ISO
//   3166 alpha-2 code. Names match ignoring letter case and the spaces
//   around them.
// - Blank lines and lines whose first field starts with '#' are skipped.
//
// Thread-safety: a League is immutable once read: any number of threads may
// read one. LeagueWatch: one thread at a time.
#ifndef PITWALL_TOOLS_LEAGUE_LEAGUE_H_
#define PITWALL_TOOLS_LEAGUE_LEAGUE_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LeagueClass {
  std::string name;
  std::string colour;  // "#rrggbb", lower case
  int order = 0;       // from 1, the order of the class rows
};

struct LeagueDriver {
  std::string name;
  std::string also;           // a second name; empty when none
  std::optional<int> number;  // 0 to 999
  std::string short_name;     // 1 to 3 characters
  std::string team;           // empty when none
  std::string class_name;     // empty: in no class
  std::string nation;         // ISO 3166 alpha-2, upper case; empty when none
  int line = 0;               // where the row begins in the file
};

class League {
 public:
  // Reads a whole file's text; `file` names it in messages. Absent with
  // *error set to one line, "FILE:LINE: what is wrong", on the first fault.
  static std::optional<League> Parse(std::string_view text, const std::string& file,
                                     std::string* error);
  // Reads the file at `path`. Absent with *error set as above, or to
  // "cannot read FILE: why".
  static std::optional<League> Load(const std::string& path, std::string* error);

  // The driver of this name (or second name), ignoring letter case and the
  // spaces around it; null when the file does not name it.
  const LeagueDriver* Find(std::string_view driver_name) const;
  // The class of this name exactly; null when the file does not define it.
  const LeagueClass* Class(std::string_view name) const;

  const std::vector<LeagueClass>& classes() const { return classes_; }
  const std::vector<LeagueDriver>& drivers() const { return drivers_; }

 private:
  std::vector<LeagueClass> classes_;
  std::vector<LeagueDriver> drivers_;
  std::map<std::string, std::size_t, std::less<>> by_name_;  // folded name -> drivers_ index
};

// `name` with the spaces around it trimmed and letters in lower case (ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic), the key names match by.
std::string FoldName(std::string_view name);

// Three letters in upper case from the last word of `name` ("Ada Brennan"
// -> "BRE"); the whole last word when shorter.
std::string ShortNameFrom(std::string_view name);

// A league file that is read again when it changes, so that a running
// command picks up the organiser's edits without a restart. A file that
// becomes unreadable or wrong leaves the league read before in force.
class LeagueWatch {
 public:
  explicit LeagueWatch(std::string path) : path_(std::move(path)) {}

  // The first reading, at start-up. False with *error set (the command then
  // exits with its usage code).
  bool Load(std::string* error);

  // Looks at the file when `check_every` has passed since the last look
  // (at once when it is zero) and reads it again when its size or time
  // changed. True when a new league took effect. *message gets one line
  // for the user when there is something to say: the league read again,
  // or why the new file was not taken ("...; keeping the league read
  // before"), said once for each change of the file.
  bool Poll(std::string* message, std::chrono::milliseconds check_every = std::chrono::seconds(1));

  std::shared_ptr<const League> current() const { return current_; }
  const std::string& path() const { return path_; }

 private:
  struct Stamp {
    bool exists = false;
    std::uintmax_t size = 0;
    std::int64_t time = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp Look() const;

  const std::string path_;
  std::shared_ptr<const League> current_;
  Stamp stamp_;
  std::chrono::steady_clock::time_point last_look_{};
};

#endif  // PITWALL_TOOLS_LEAGUE_LEAGUE_H_
