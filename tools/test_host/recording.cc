#include "tools/test_host/recording.h"

#include <charconv>
#include <cstring>
#include <thread>
#include <vector>

#include "pitwall/scoring_record.h"

namespace {

using S = HostScoringOffsets;
using V = HostVehicleOffsets;

std::string Encode(const char* text, std::size_t max) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < max && text[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x21 || c == '%' || c >= 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool Decode(const std::string& field, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '%') {
      *out += field[i];
      continue;
    }
    if (i + 2 >= field.size()) return false;
    unsigned value = 0;
    const auto r = std::from_chars(field.data() + i + 1, field.data() + i + 3, value, 16);
    if (r.ec != std::errc() || r.ptr != field.data() + i + 3) return false;
    *out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

template <typename T>
std::string Num(T value) {
  char text[64];
  const auto r = std::to_chars(text, text + sizeof(text), value);
  return std::string(text, r.ptr);
}

template <typename T>
bool Parse(const std::string& field, T* value) {
  const auto r = std::from_chars(field.data(), field.data() + field.size(), *value);
  return r.ec == std::errc() && r.ptr == field.data() + field.size();
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', begin);
    fields.push_back(
        line.substr(begin, tab == std::string::npos ? std::string::npos : tab - begin));
    if (tab == std::string::npos) return fields;
    begin = tab + 1;
  }
}

bool ReadLine(std::FILE* file, std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(file)) != EOF && c != '\n') *line += static_cast<char>(c);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return c != EOF || !line->empty();
}

}  // namespace

Recorder::Recorder(std::FILE* file, HostSink* next) : file_(file), next_(next) {
  Put(std::string(kRecordingMagic) + "\t" + Num(kRecordingVersion));
}

double Recorder::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Recorder::Put(const std::string& line) {
  if (std::fputs(line.c_str(), file_) < 0 || std::fputc('\n', file_) == EOF) ok_ = false;
}

void Recorder::SessionStart() {
  Put("start\t" + Num(Now()));
  if (next_) next_->SessionStart();
}

void Recorder::SessionEnd() {
  Put("end\t" + Num(Now()));
  if (next_) next_->SessionEnd();
}

void Recorder::Scoring(const HostScoringInfo* info) {
  const auto* r = reinterpret_cast<const unsigned char*>(info);
  const std::int32_t count = ReadAt<std::int32_t>(r, S::kVehicleCount);
  const auto* vehicles = ReadAt<const unsigned char*>(r, S::kVehicleArray);
  const std::int32_t written = vehicles == nullptr ? 0 : std::max(count, 0);
  Put("scoring\t" + Num(Now()) + "\t" +
      Encode(reinterpret_cast<const char*>(r + S::kTrackName), S::kTrackNameSize) + "\t" +
      Num(ReadAt<std::int32_t>(r, S::kSession)) + "\t" + Num(ReadAt<float>(r, S::kCurrentTime)) +
      "\t" + Num(ReadAt<float>(r, S::kEndTime)) + "\t" + Num(ReadAt<std::int32_t>(r, S::kMaxLaps)) +
      "\t" + Num(ReadAt<float>(r, S::kLapDistance)) + "\t" + Num(written));
  for (std::int32_t i = 0; i < written; ++i) {
    const unsigned char* v = vehicles + static_cast<std::size_t>(i) * V::kRecordSize;
    std::string line = "vehicle\t" + Encode(reinterpret_cast<const char*>(v), V::kDriverNameSize);
    line += "\t" + Num(ReadAt<std::int16_t>(v, V::kLaps));
    line += "\t" + Num(int{ReadAt<std::int8_t>(v, V::kSector)});
    line += "\t" + Num(int{ReadAt<std::int8_t>(v, V::kFinishStatus)});
    for (std::size_t offset : {V::kLapDistance, V::kBestLap, V::kSector1A, V::kSector2A,
                               V::kLastLap, V::kSector1B, V::kSector2B}) {
      line += "\t" + Num(ReadAt<float>(v, offset));
    }
    line += "\t" + Num(int{ReadAt<std::int8_t>(v, V::kControl)});
    line += "\t" + Num(int{ReadAt<std::uint8_t>(v, V::kInPits)});
    line += "\t" + Num(int{ReadAt<std::uint8_t>(v, V::kPlace)});
    for (std::size_t offset : {V::kTimeBehindLeader, V::kX, V::kZ, V::kHeadingA, V::kHeadingB}) {
      line += "\t" + Num(ReadAt<float>(v, offset));
    }
    Put(line);
  }
  if (next_) next_->Scoring(info);
}

namespace {

// A recording read line by line, counting lines for its messages.
struct RecordingLines {
  std::FILE* file;
  std::string* error;
  std::string line;
  int number = 0;

  bool Next() {
    if (!ReadLine(file, &line)) return false;
    ++number;
    return true;
  }
  bool Fail(const std::string& what) {
    *error = "line " + std::to_string(number) + ": " + what;
    return false;
  }
};

// The first line: the recording's magic and a version this host reads.
bool ReadRecordingHead(RecordingLines* in) {
  if (!in->Next()) {
    *in->error = "empty file: not a recording";
    return false;
  }
  const auto head = Split(in->line);
  int version = 0;
  if (head.size() != 2 || head[0] != kRecordingMagic || !Parse(head[1], &version)) {
    return in->Fail("not a PitwallFeed host recording");
  }
  if (version != kRecordingVersion) {
    return in->Fail("recording version " + head[1] +
                    " is not supported (this host reads version 1)");
  }
  return true;
}

// Waits until the recording's time `t` is due at the replay's speed (not at
// all at speed 0), looking every 50 ms whether the replay was interrupted.
class ReplayPace {
 public:
  explicit ReplayPace(const ReplayOptions& options)
      : options_(options), begin_(std::chrono::steady_clock::now()) {}
  void WaitFor(double t) const {
    if (options_.speed <= 0) return;
    const auto due = begin_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(t / options_.speed));
    while (std::chrono::steady_clock::now() < due) {
      if (options_.interrupted && options_.interrupted()) return;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          due - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
    }
  }

 private:
  const ReplayOptions& options_;
  std::chrono::steady_clock::time_point begin_;
};

// A "scoring" line's fields into the record; its vehicle count into *count.
bool ReadScoringFields(const std::vector<std::string>& f, ScoringRecordWriter* writer,
                       std::int32_t* count) {
  std::string track;
  std::int32_t session = 0, max_laps = 0;
  float current = 0, end = 0, lap = 0;
  if (f.size() != 9 || !Decode(f[2], &track) || !Parse(f[3], &session) || !Parse(f[4], &current) ||
      !Parse(f[5], &end) || !Parse(f[6], &max_laps) || !Parse(f[7], &lap) || !Parse(f[8], count) ||
      *count < 0 || *count > 4096) {
    return false;
  }
  writer->SetVehicles(*count);
  writer->SetTrackName(track);
  writer->SetSession(session);
  writer->SetCurrentTime(current);
  writer->SetEndTime(end);
  writer->SetMaxLaps(max_laps);
  writer->SetLapDistance(lap);
  return true;
}

// A "vehicle" line into the record's vehicle `car`.
template <typename Vehicle>
bool ReadVehicleLine(const std::string& line, Vehicle car) {
  const auto v = Split(line);
  std::string driver;
  int laps = 0, sector = 0, finish = 0, control = 0, pits = 0, place = 0;
  float x[12] = {};
  bool good = v.size() == 20 && v[0] == "vehicle" && Decode(v[1], &driver) && Parse(v[2], &laps) &&
              Parse(v[3], &sector) && Parse(v[4], &finish) && Parse(v[12], &control) &&
              Parse(v[13], &pits) && Parse(v[14], &place);
  const int float_fields[12] = {5, 6, 7, 8, 9, 10, 11, 15, 16, 17, 18, 19};
  for (int k = 0; good && k < 12; ++k)
    good = Parse(v[static_cast<std::size_t>(float_fields[k])], &x[k]);
  if (!good) return false;
  car.SetDriverName(driver);
  car.SetLaps(static_cast<std::int16_t>(laps));
  car.SetSector(static_cast<std::int8_t>(sector));
  car.SetFinishStatus(static_cast<std::int8_t>(finish));
  car.SetLapDistance(x[0]);
  car.SetBestLap(x[1]);
  car.SetSectorTimesA(x[2], x[3]);
  car.SetLastLap(x[4]);
  car.SetSectorTimesB(x[5], x[6]);
  car.SetControl(static_cast<std::int8_t>(control));
  car.SetInPits(static_cast<std::uint8_t>(pits));
  car.SetPlace(static_cast<std::uint8_t>(place));
  car.SetTimeBehindLeader(x[7]);
  car.SetPosition(x[8], x[9]);
  car.SetHeadingInputs(x[10], x[11]);
  return true;
}

}  // namespace

bool Replay(std::FILE* file, HostSink* sink, const ReplayOptions& options, std::string* error) {
  RecordingLines in{file, error, {}};
  if (!ReadRecordingHead(&in)) return false;
  const ReplayPace pace(options);
  ScoringRecordWriter writer;
  while (in.Next()) {
    if (options.interrupted && options.interrupted()) return true;
    if (in.line.empty() || in.line[0] == '#') continue;
    const auto f = Split(in.line);
    double t = 0;
    if (f.size() < 2 || !Parse(f[1], &t)) return in.Fail("expected an event and its time");
    if (f[0] == "start" || f[0] == "end") {
      if (f.size() != 2) return in.Fail("extra fields after " + f[0]);
      pace.WaitFor(t);
      f[0] == "start" ? sink->SessionStart() : sink->SessionEnd();
      continue;
    }
    if (f[0] != "scoring") return in.Fail("unknown event '" + f[0] + "'");
    std::int32_t count = 0;
    if (!ReadScoringFields(f, &writer, &count)) return in.Fail("bad scoring line");
    for (std::int32_t i = 0; i < count; ++i) {
      if (!in.Next()) return in.Fail("the recording ends inside an update");
      if (!ReadVehicleLine(in.line, writer.vehicle(i))) return in.Fail("bad vehicle line");
    }
    pace.WaitFor(t);
    sink->Scoring(writer.record());
  }
  return true;
}
