#include "league.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace {

// A league is a list of drivers: anything much larger is not one.
constexpr std::uintmax_t kMaxFileBytes = 4u << 20;
constexpr int kMaxCarNumber = 999;
constexpr std::size_t kShortNameMax = 3;

// The column keys of the header row.
constexpr const char* kKindColumn = "kind";
constexpr const char* kNameColumn = "name";
constexpr const char* kAlsoColumn = "also";
constexpr const char* kNumberColumn = "number";
constexpr const char* kShortColumn = "short";
constexpr const char* kTeamColumn = "team";
constexpr const char* kClassColumn = "class";
constexpr const char* kNationColumn = "nation";
constexpr const char* kColourColumn = "colour";
constexpr const char* kColorColumn = "color";
constexpr const char* kNotesColumn = "notes";

// ISO 3166-1 alpha-2, the officially assigned codes.
constexpr const char kCountryCodes[] =
    "AD AE AF AG AI AL AM AO AQ AR AS AT AU AW AX AZ BA BB BD BE BF BG BH BI BJ BL BM BN BO BQ "
    "BR BS BT BV BW BY BZ CA CC CD CF CG CH CI CK CL CM CN CO CR CU CV CW CX CY CZ DE DJ DK DM "
    "DO DZ EC EE EG EH ER ES ET FI FJ FK FM FO FR GA GB GD GE GF GG GH GI GL GM GN GP GQ GR GS "
    "GT GU GW GY HK HM HN HR HT HU ID IE IL IM IN IO IQ IR IS IT JE JM JO JP KE KG KH KI KM KN "
    "KP KR KW KY KZ LA LB LC LI LK LR LS LT LU LV LY MA MC MD ME MF MG MH MK ML MM MN MO MP MQ "
    "MR MS MT MU MV MW MX MY MZ NA NC NE NF NG NI NL NO NP NR NU NZ OM PA PE PF PG PH PK PL PM "
    "PN PR PS PT PW PY QA RE RO RS RU RW SA SB SC SD SE SG SH SI SJ SK SL SM SN SO SR SS ST SV "
    "SX SY SZ TC TD TF TG TH TJ TK TL TM TN TO TR TT TV TW TZ UA UG UM US UY UZ VA VC VE VG VI "
    "VN VU WF WS YE YT ZA ZM ZW";

struct Row {
  int line = 0;  // where the row begins
  std::vector<std::string> fields;
};

// Decodes one UTF-8 sequence at text[*at], advancing *at. Invalid bytes
// come out one at a time as themselves, with *valid false.
char32_t NextCodePoint(std::string_view text, std::size_t* at, bool* valid) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*at);
  int length = lead < 0x80           ? 1
               : (lead >> 5) == 0x6  ? 2
               : (lead >> 4) == 0xE  ? 3
               : (lead >> 3) == 0x1E ? 4
                                     : 0;
  char32_t code = length == 1   ? lead
                  : length == 2 ? lead & 0x1F
                  : length == 3 ? lead & 0x0F
                                : lead & 0x07;
  bool ok = length > 0 && *at + length <= text.size();
  for (int i = 1; ok && i < length; ++i) {
    ok = (byte(*at + i) & 0xC0) == 0x80;
    code = (code << 6) | (byte(*at + i) & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  ok = ok && code >= kLeast[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
  if (!ok) {
    *valid = false;
    ++*at;
    return lead;
  }
  *at += static_cast<std::size_t>(length);
  return code;
}

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Lower case of the letters of the scripts European names are written in;
// other code points are their own.
char32_t FoldCodePoint(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x178) return 0xFF;
    const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool even_upper = (c <= 0x137 && c != 0x130) || (c >= 0x14A && c <= 0x177);
    if (odd_upper && c % 2 == 1) return c + 1;
    if (even_upper && c % 2 == 0) return c + 1;
    return c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

// The upper case of what FoldCodePoint lowers.
char32_t UpperCodePoint(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && FoldCodePoint(c - 1) == c) return c - 1;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  return c;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

std::size_t CodePoints(std::string_view text) {
  std::size_t count = 0;
  bool valid = true;
  for (std::size_t at = 0; at < text.size(); ++count) NextCodePoint(text, &at, &valid);
  return count;
}

// The field separator: a comma, or a semicolon when the header row has
// semicolons and no comma outside quotes (what spreadsheets write in
// locales whose decimal mark is a comma).
char Separator(std::string_view text) {
  bool quoted = false, semicolon = false;
  for (const char c : text) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (c == ',') return ',';
    if (c == ';') semicolon = true;
    if (c == '\n') break;
  }
  return semicolon ? ';' : ',';
}

// Splits the text into rows of fields. False with *error ("LINE: ...") on
// a quoted field that is not closed, or text after a closing quote.
bool SplitRows(std::string_view text, std::vector<Row>* rows, std::string* error) {
  const char separator = Separator(text);
  int line = 1;
  std::size_t at = 0;
  while (at < text.size()) {
    Row row;
    row.line = line;
    std::string field;
    bool row_done = false;
    while (!row_done) {
      field.clear();
      if (at < text.size() && text[at] == '"') {
        const int opened = line;
        ++at;
        for (;;) {
          if (at >= text.size()) {
            *error = std::to_string(opened) + ": a quoted field is not closed";
            return false;
          }
          const char c = text[at++];
          if (c == '"') {
            if (at < text.size() && text[at] == '"') {
              field.push_back('"');
              ++at;
              continue;
            }
            break;
          }
          if (c == '\n') ++line;
          field.push_back(c);
        }
        // Only spaces may stand between a closing quote and what ends the field.
        while (at < text.size() && IsSpace(text[at])) ++at;
        if (at < text.size() && text[at] != separator && text[at] != '\n' && text[at] != '\r') {
          *error = std::to_string(line) + ": text after the closing quote of a field";
          return false;
        }
      } else {
        while (at < text.size() && text[at] != separator && text[at] != '\n' && text[at] != '\r') {
          field.push_back(text[at++]);
        }
      }
      row.fields.push_back(field);
      if (at < text.size() && text[at] == separator) {
        ++at;
        continue;
      }
      // The row ends: CRLF, LF, a lone CR, or the end of the text.
      if (at < text.size() && text[at] == '\r') ++at;
      if (at < text.size() && text[at] == '\n') ++at;
      ++line;
      row_done = true;
    }
    rows->push_back(std::move(row));
  }
  return true;
}

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

bool IsHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// "#rrggbb" in lower case from "#rrggbb" or "#rgb" (any case); empty when
// `text` is neither.
std::string Colour(std::string_view text) {
  if (text.empty() || text[0] != '#') return "";
  const std::string_view digits = text.substr(1);
  if (!std::all_of(digits.begin(), digits.end(), IsHex)) return "";
  std::string colour = "#";
  if (digits.size() == 3) {
    for (const char c : digits) colour.append(2, c);
  } else if (digits.size() == 6) {
    colour += digits;
  } else {
    return "";
  }
  for (char& c : colour) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return colour;
}

bool IsCountryCode(const std::string& code) {
  if (code.size() != 2) return false;
  const std::string_view codes(kCountryCodes);
  for (std::size_t at = 0; at + 1 < codes.size(); at += 3) {
    if (codes.substr(at, 2) == code) return true;
  }
  return false;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::string FoldName(std::string_view name) {
  name = Trim(name);
  std::string folded;
  folded.reserve(name.size());
  bool valid = true;
  bool space = false;
  for (std::size_t at = 0; at < name.size();) {
    if (IsSpace(name[at])) {
      space = true;
      ++at;
      continue;
    }
    // Runs of spaces inside the name count as one.
    if (space) folded.push_back(' ');
    space = false;
    const std::size_t begin = at;
    const char32_t code = NextCodePoint(name, &at, &valid);
    if (at == begin + 1 && static_cast<unsigned char>(name[begin]) >= 0x80) {
      folded.push_back(name[begin]);  // not UTF-8: the byte as it is
    } else {
      AppendUtf8(FoldCodePoint(code), &folded);
    }
  }
  return folded;
}

std::string ShortNameFrom(std::string_view name) {
  name = Trim(name);
  const std::size_t space = name.find_last_of(" \t");
  const std::string_view last = space == std::string_view::npos ? name : name.substr(space + 1);
  std::string out;
  bool valid = true;
  std::size_t at = 0;
  for (std::size_t taken = 0; at < last.size() && taken < kShortNameMax; ++taken) {
    const std::size_t begin = at;
    const char32_t code = NextCodePoint(last, &at, &valid);
    if (at == begin + 1 && static_cast<unsigned char>(last[begin]) >= 0x80) {
      out.push_back(last[begin]);
    } else {
      AppendUtf8(UpperCodePoint(code), &out);
    }
  }
  return out;
}

std::optional<League> League::Parse(std::string_view text, const std::string& file,
                                    std::string* error) {
  const auto fail = [&](int line, const std::string& what) {
    *error = file + ":" + std::to_string(line) + ": " + what;
    return std::nullopt;
  };
  // A byte-order mark, as spreadsheets write one before UTF-8 text.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  {
    bool valid = true;
    int line = 1;
    for (std::size_t at = 0; at < text.size() && valid;) {
      if (text[at] == '\n') ++line;
      NextCodePoint(text, &at, &valid);
    }
    if (!valid) return fail(line, "not UTF-8 text (save the file as CSV in UTF-8)");
  }
  std::vector<Row> rows;
  std::string split_error;
  if (!SplitRows(text, &rows, &split_error)) {
    *error = file + ":" + split_error;
    return std::nullopt;
  }
  const auto blank = [](const Row& row) {
    return std::all_of(row.fields.begin(), row.fields.end(),
                       [](const std::string& f) { return Trim(f).empty(); });
  };
  const auto comment = [](const Row& row) {
    return !row.fields.empty() && Trim(row.fields[0]).substr(0, 1) == "#";
  };
  std::size_t first = 0;
  while (first < rows.size() && (blank(rows[first]) || comment(rows[first]))) ++first;
  if (first == rows.size())
    return fail(1, "no header row (the first row names the columns: name, number, ...)");

  // The header: which field holds which key.
  const Row& header = rows[first];
  constexpr std::array kKnown = {kKindColumn,   kNameColumn, kAlsoColumn,  kNumberColumn,
                                 kShortColumn,  kTeamColumn, kClassColumn, kNationColumn,
                                 kColourColumn, kNotesColumn};
  std::map<std::string, std::size_t> column;
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    std::string key = AsciiLower(Trim(header.fields[i]));
    if (key == kColorColumn) key = kColourColumn;
    if (key.empty())
      return fail(header.line, "column " + std::to_string(i + 1) + " of the header has no name");
    if (std::find(kKnown.begin(), kKnown.end(), key) == kKnown.end()) {
      return fail(header.line, "unknown column " + Quoted(Trim(header.fields[i])) +
                                   " (the columns are kind, name, also, number, short, team, "
                                   "class, nation, colour and notes)");
    }
    if (!column.emplace(key, i).second) {
      return fail(header.line, "column " + Quoted(key) + " is named twice");
    }
  }
  if (column.count(kNameColumn) == 0) return fail(header.line, "the header has no 'name' column");

  League league;
  std::map<std::string, int> class_lines;  // class name -> its row's line
  std::map<int, std::size_t> numbers;      // car number -> drivers_ index
  for (std::size_t r = first + 1; r < rows.size(); ++r) {
    const Row& row = rows[r];
    if (blank(row) || comment(row)) continue;
    if (row.fields.size() != header.fields.size()) {
      return fail(row.line, std::to_string(row.fields.size()) + " field(s), but the header has " +
                                std::to_string(header.fields.size()));
    }
    const auto get = [&](const char* key) -> std::string {
      const auto it = column.find(key);
      return it == column.end() ? std::string() : std::string(Trim(row.fields[it->second]));
    };
    const std::string kind = AsciiLower(get(kKindColumn));
    const std::string name = get(kNameColumn);
    if (kind == "class") {
      if (name.empty()) return fail(row.line, "a class row without a name");
      for (const char* key :
           {kAlsoColumn, kNumberColumn, kShortColumn, kTeamColumn, kClassColumn, kNationColumn}) {
        if (!get(key).empty()) {
          return fail(row.line, "a class row takes only a name and a colour, but " + Quoted(key) +
                                    " is filled in");
        }
      }
      const std::string given = get(kColourColumn);
      const std::string colour = Colour(given);
      if (given.empty())
        return fail(row.line, "class " + name + " has no colour (write #rrggbb, e.g. #e4572e)");
      if (colour.empty()) {
        return fail(row.line, Quoted(given) + " is not a colour (write #rrggbb, e.g. #e4572e)");
      }
      const auto [it, added] = class_lines.emplace(name, row.line);
      if (!added) {
        return fail(row.line,
                    "class " + name + " is already defined on line " + std::to_string(it->second));
      }
      league.classes_.push_back(
          LeagueClass{name, colour, static_cast<int>(league.classes_.size()) + 1});
      continue;
    }
    if (!kind.empty() && kind != "driver") {
      return fail(row.line, "kind " + Quoted(get(kKindColumn)) + " is neither class nor driver");
    }
    if (name.empty()) return fail(row.line, "a driver row without a name");
    if (!get(kColourColumn).empty()) {
      return fail(row.line, "a colour belongs to a class row, not to driver " + name);
    }
    LeagueDriver driver;
    driver.line = row.line;
    driver.name = name;
    driver.also = get(kAlsoColumn);
    driver.team = get(kTeamColumn);
    driver.class_name = get(kClassColumn);
    const std::size_t index = league.drivers_.size();
    for (const std::string* key : {&driver.name, &driver.also}) {
      if (key->empty()) continue;
      const auto [it, added] = league.by_name_.emplace(FoldName(*key), index);
      if (!added && it->second != index) {
        const LeagueDriver& other = league.drivers_[it->second];
        return fail(row.line, *key + " is already on line " + std::to_string(other.line));
      }
    }
    const std::string number = get(kNumberColumn);
    if (!number.empty()) {
      if (number.size() > 3 ||
          !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return fail(row.line, Quoted(number) + " is not a car number (0 to " +
                                  std::to_string(kMaxCarNumber) + ")");
      }
      driver.number = std::stoi(number);
      const auto [it, added] = numbers.emplace(*driver.number, league.drivers_.size());
      if (!added) {
        const LeagueDriver& other = league.drivers_[it->second];
        return fail(row.line, "car number " + number + " is already " + other.name + "'s (line " +
                                  std::to_string(other.line) + ")");
      }
    }
    driver.short_name = get(kShortColumn);
    if (CodePoints(driver.short_name) > kShortNameMax) {
      return fail(row.line,
                  "short name " + Quoted(driver.short_name) + " is longer than three characters");
    }
    if (driver.short_name.empty()) driver.short_name = ShortNameFrom(name);
    const std::string nation = get(kNationColumn);
    driver.nation = AsciiUpper(nation);
    if (!nation.empty() && !IsCountryCode(driver.nation)) {
      return fail(row.line,
                  Quoted(nation) + " is not an ISO 3166 country code (two letters, e.g. DE)");
    }
    league.drivers_.push_back(std::move(driver));
  }
  for (const LeagueDriver& driver : league.drivers_) {
    if (!driver.class_name.empty() && class_lines.count(driver.class_name) == 0) {
      return fail(driver.line, "class " + Quoted(driver.class_name) +
                                   " is not defined (add a row: class," + driver.class_name +
                                   " with its colour)");
    }
  }
  return league;
}

std::optional<League> League::Load(const std::string& path, std::string* error) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    *error = "cannot read " + path + ": " + ec.message();
    return std::nullopt;
  }
  if (size > kMaxFileBytes) {
    *error = "cannot read " + path + ": it is larger than 4 MiB, too large for a league file";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return Parse(text.str(), path, error);
}

const LeagueDriver* League::Find(std::string_view driver_name) const {
  const auto it = by_name_.find(FoldName(driver_name));
  return it == by_name_.end() ? nullptr : &drivers_[it->second];
}

const LeagueClass* League::Class(std::string_view name) const {
  for (const LeagueClass& c : classes_) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

bool LeagueWatch::Load(std::string* error) {
  stamp_ = Look();
  last_look_ = std::chrono::steady_clock::now();
  std::optional<League> league = League::Load(path_, error);
  if (!league) return false;
  current_ = std::make_shared<const League>(std::move(*league));
  return true;
}

bool LeagueWatch::Poll(std::string* message, std::chrono::milliseconds check_every) {
  message->clear();
  const auto now = std::chrono::steady_clock::now();
  if (check_every.count() > 0 && now - last_look_ < check_every) return false;
  last_look_ = now;
  const Stamp stamp = Look();
  if (stamp == stamp_) return false;
  stamp_ = stamp;
  std::string error;
  std::optional<League> league = League::Load(path_, &error);
  if (!league) {
    *message = error + "; keeping the league read before";
    return false;
  }
  current_ = std::make_shared<const League>(std::move(*league));
  *message = "read " + path_ + " again: " + std::to_string(current_->drivers().size()) +
             " driver(s) in " + std::to_string(current_->classes().size()) + " class(es)";
  return true;
}

LeagueWatch::Stamp LeagueWatch::Look() const {
  Stamp stamp;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path_, ec);
  if (ec) return stamp;
  const auto time = std::filesystem::last_write_time(path_, ec);
  if (ec) return stamp;
  stamp.exists = true;
  stamp.size = size;
  stamp.time = static_cast<std::int64_t>(time.time_since_epoch().count());
  return stamp;
}
