#include "tools/web/state_change.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tools/client/timing_json.h"
#include "tools/client/timing_state.h"
#include "tools/test_host/answer_feed.h"
#include "tools/test_host/recording.h"

namespace {

using nlohmann::json;

// A small state of the states' shape: the members before the cars, then
// the cars.
std::string State(const std::string& received, const std::string& session,
                  const std::string& cars) {
  return R"({"format":"pitwall-timing","version":1,"received_unix_s":)" + received +
         R"(,"updates":7,"session":)" + session + R"(,"cars":[)" + cars + "]}";
}

TEST(StateChangeTest, CarriesOnlyWhatChangedAsTheNewStatesOwnText) {
  const std::string before =
      State("100.25", R"({"time_s":12.5,"best":null})",
            R"({"index":0,"place":1,"gap":null,"rel":[{"i":1,"g":0.5},{"i":2,"g":0.75}]},)"
            R"({"index":1,"place":2,"gap":{"laps":0,"s":0.5},"rel":[]})");
  const std::string after =
      State("100.45", R"({"time_s":12.7,"best":{"s":61.25,"by":0}})",
            R"({"index":0,"place":1,"gap":null,"rel":[{"i":1,"g":0.5},{"i":2,"g":0.70000005}]},)"
            R"({"index":1,"place":2,"gap":null,"rel":[{"i":0,"g":0.5}]})");
  const auto change = StateChangeJson(before, after, 42);
  ASSERT_TRUE(change.has_value());
  // An element of an array patched by its position; an object set onto
  // null whole; null set as a value; a list that grew replaced.
  EXPECT_EQ(
      *change,
      R"({"id":42,"base":100.25,"set":{"received_unix_s":100.45,)"
      R"("session":{"time_s":12.7,"best":{"s":61.25,"by":0}}},)"
      R"("cars":{"0":{"rel":{"1":{"g":0.70000005}}},"1":{"gap":null,"rel":[{"i":0,"g":0.5}]}}})");
  const auto applied = ApplyStateChange(json::parse(before), json::parse(*change));
  ASSERT_TRUE(applied.has_value());
  EXPECT_EQ(*applied, json::parse(after));
}

TEST(StateChangeTest, NamesTheOrderOnlyWhenTheCarsChangedOrderCameOrWent) {
  const std::string a = R"({"index":0,"place":1})";
  const std::string b = R"({"index":1,"place":2})";
  const std::string c = R"({"index":7,"place":3})";
  const std::string before = State("5", "null", a + "," + b);
  // Same cars, same order, nothing else: an empty change that still moves
  // the base on.
  const std::string later = State("6", "null", a + "," + b);
  EXPECT_EQ(StateChangeJson(before, later, 2),
            R"({"id":2,"base":5,"set":{"received_unix_s":6},"cars":{}})");
  // Car 1 passes car 0: both places change, and the order.
  const std::string swapped = State("6", "null", R"({"index":1,"place":1},{"index":0,"place":2})");
  EXPECT_EQ(StateChangeJson(before, swapped, 3),
            R"({"id":3,"base":5,"set":{"received_unix_s":6},)"
            R"("cars":{"1":{"place":1},"0":{"place":2}},"order":[1,0]})");
  // Car 0 leaves and car 7 joins: the newcomer whole.
  const std::string joined = State("6", "null", b + "," + c);
  const auto change = StateChangeJson(before, joined, 4);
  EXPECT_EQ(change, R"({"id":4,"base":5,"set":{"received_unix_s":6},)"
                    R"("cars":{"7":{"index":7,"place":3}},"order":[1,7]})");
  EXPECT_EQ(ApplyStateChange(json::parse(before), json::parse(*change)), json::parse(joined));
  // All cars gone.
  EXPECT_EQ(StateChangeJson(before, State("6", "null", ""), 5),
            R"({"id":5,"base":5,"set":{"received_unix_s":6},"cars":{},"order":[]})");
}

TEST(StateChangeTest, GivesUpWhereAPatchCannotSayWhatChanged) {
  const std::string car = R"({"index":0,"v":[[1],2]})";
  const std::string before = State("1", R"({"a":1,"b":2})", car);
  // A member gone, at the top, in the session or in a car.
  EXPECT_FALSE(StateChangeJson(
      before,
      R"({"format":"pitwall-timing","version":1,"received_unix_s":2,"session":null,"cars":[]})",
      2));
  EXPECT_FALSE(StateChangeJson(before, State("2", R"({"a":1})", car), 2));
  EXPECT_FALSE(StateChangeJson(before, State("2", R"({"a":1,"b":2})", R"({"index":0})"), 2));
  // An array that became an object would be read as element patches.
  EXPECT_FALSE(
      StateChangeJson(before, State("2", R"({"a":1,"b":2})", R"({"index":0,"v":{"0":5}})"), 2));
  // Inside an array, though, the array is replaced instead.
  EXPECT_EQ(
      StateChangeJson(before, State("2", R"({"a":1,"b":2})", R"({"index":0,"v":[{"x":1},2]})"), 2),
      R"({"id":2,"base":1,"set":{"received_unix_s":2},"cars":{"0":{"v":[{"x":1},2]}}})");
  // An object that became an array is simply replaced.
  EXPECT_TRUE(StateChangeJson(before, State("2", R"([1])", car), 2));
}

TEST(StateChangeTest, RefusesWhatIsNotAState) {
  const std::string good = State("1", "null", R"({"index":0})");
  const std::vector<std::string> bad = {
      "",
      "[]",
      "{",
      good.substr(0, good.size() - 1),
      R"({"received_unix_s":1,"cars":{}})",
      R"({"received_unix_s":1})",
      R"({"cars":[]})",
      R"({"received_unix_s":{"x":1},"cars":[]})",
      R"({"received_unix_s":1,"cars":[{"place":1}]})",
      R"({"received_unix_s":1,"cars":[{"index":"0"}]})",
      R"({"received_unix_s":1,"cars":[{"index":-1}]})",
      R"({"received_unix_s":1,"cars":[{"index":0},{"index":0}]})",
      R"({"received_unix_s":1,"cars":[3]})",
      "{\"received_unix_s\":1,\"cars\":[],\"s\":\"a\nb\"}",
      R"({"received_unix_s":1,"cars":[],"s":"unclosed})",
      R"({"received_unix_s":1,"cars":[],"x":nul})",
      R"({"received_unix_s":1,"cars":[]} trailing)",
      R"({"received_unix_s":1 "cars":[]})",
      R"({"received_unix_s":1,"cars":[],})",
      "{\"received_unix_s\":1,\"cars\":[],\"deep\":" + std::string(40, '[') + std::string(40, ']') +
          "}",
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(StateChangeJson(text, good, 1)) << text;
    EXPECT_FALSE(StateChangeJson(good, text, 1)) << text;
  }
  // Escapes inside strings are passed on as they are.
  const std::string escaped = State("2", R"({"track":"Ring \"North\" \\ A"})", R"({"index":0})");
  const auto change = StateChangeJson(good, escaped, 2);
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(ApplyStateChange(json::parse(good), json::parse(*change)), json::parse(escaped));
}

TEST(StateChangeTest, ApplyingRefusesAChangeForAnotherStateOrABrokenOne) {
  const json state = json::parse(State("10.5", "null", R"({"index":0,"v":[1,2]})"));
  const auto apply = [&](const std::string& change) {
    return ApplyStateChange(state, json::parse(change));
  };
  EXPECT_TRUE(apply(R"({"id":1,"base":10.5,"set":{},"cars":{"0":{"v":{"1":3}}}})"));
  EXPECT_FALSE(apply(R"({"id":1,"base":10.25,"set":{},"cars":{}})"));  // missed one
  EXPECT_FALSE(apply(R"({"id":1,"set":{},"cars":{}})"));
  EXPECT_FALSE(apply(R"({"id":1,"base":10.5,"set":{},"cars":{"0":{"v":{"2":3}}}})"));
  EXPECT_FALSE(apply(R"({"id":1,"base":10.5,"set":{},"cars":{"0":{"v":{"x":3}}}})"));
  EXPECT_FALSE(apply(R"({"id":1,"base":10.5,"set":{},"cars":{"4":{"index":4}}})"));  // no order
  EXPECT_FALSE(apply(R"({"id":1,"base":10.5,"set":{},"cars":{},"order":[0,5]})"));
  EXPECT_FALSE(apply(R"({"id":1,"base":10.5,"set":{},"cars":{},"order":[0,0]})"));
  EXPECT_FALSE(apply(R"({"id":1,"base":10.5,"set":{"cars":[]},"cars":{}})"));
}

// Values of the states' kinds, with nulls, nested objects and arrays whose
// lengths sometimes stay.
json RandomValue(std::mt19937* random, int depth) {
  std::uniform_int_distribution<int> kind(0, depth > 2 ? 3 : 5);
  switch (kind(*random)) {
    case 0:
      return nullptr;
    case 1:
      return std::uniform_int_distribution<int>(-3, 3)(*random);
    case 2:
      return std::uniform_real_distribution<float>(-1000, 1000)(*random);
    case 3:
      return std::string(1, static_cast<char>('a' + (*random)() % 3));
    case 4: {
      json list = json::array();
      const int n = std::uniform_int_distribution<int>(0, 3)(*random);
      for (int i = 0; i < n; ++i) list.push_back(RandomValue(random, depth + 1));
      return list;
    }
    default: {
      json object = json::object();
      for (const char* key : {"p", "q", "r"}) object[key] = RandomValue(random, depth + 1);
      return object;
    }
  }
}

// Changes a value here and there, keeping its members (as a state does).
json Mutate(const json& value, std::mt19937* random, int depth, bool in_array = false) {
  if (std::uniform_int_distribution<int>(0, 3)(*random) == 0) return value;
  if (value.is_object()) {
    json out = value;
    for (auto& [key, member] : out.items()) member = Mutate(member, random, depth + 1);
    return out;
  }
  if (value.is_array() && (*random)() % 2 == 0) {
    json out = value;
    for (json& element : out) element = Mutate(element, random, depth + 1, true);
    return out;
  }
  json fresh = RandomValue(random, depth);
  // An array turned object is the one change the form cannot say (but
  // in an array, which it then replaces).
  if (value.is_array() && fresh.is_object() && !in_array) fresh = nullptr;
  return fresh;
}

TEST(StateChangeTest, RandomChangesApplyToExactlyTheNextState) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 2000; ++round) {
    json before = {{"received_unix_s", round}, {"session", RandomValue(&random, 0)}};
    json cars = json::array();
    for (int i = 0; i < 4; ++i) cars.push_back({{"index", i}, {"x", RandomValue(&random, 0)}});
    before["cars"] = cars;
    json after = before;
    after["received_unix_s"] = round + 0.5;
    after["session"] = Mutate(before["session"], &random, 0);
    for (json& car : after["cars"]) car["x"] = Mutate(car["x"], &random, 0);
    if (round % 3 == 0) std::swap(after["cars"][0], after["cars"][2]);
    if (round % 5 == 0) after["cars"].erase(1);
    const auto change = StateChangeJson(before.dump(), after.dump(), round);
    ASSERT_TRUE(change.has_value()) << before.dump() << "\n" << after.dump();
    const auto applied = ApplyStateChange(before, json::parse(*change));
    ASSERT_TRUE(applied.has_value()) << *change;
    ASSERT_EQ(*applied, after) << before.dump() << "\n" << *change;
  }
}

std::vector<std::string> RecordedRaces() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(PITWALL_RACES_DIR)) {
    if (entry.path().extension() == ".rec") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(StateChangeTest, TheRecordedRacesAreThere) { EXPECT_GE(RecordedRaces().size(), 5u); }

// Each recorded race, through the timing state as the web view keeps it:
// each change applied to the state before gives exactly the state after,
// and a viewer that missed one cannot apply the next.
class RecordedRaceTest : public ::testing::TestWithParam<std::string> {};

TEST_P(RecordedRaceTest, EveryUpdateComesOutExact) {
  const std::string path = std::string(PITWALL_RACES_DIR) + "/" + GetParam() + ".rec";
  TimingState state;
  std::vector<std::string> states;
  AnswerFeed feed([&](const Answer& answer, double at_s) {
    state.Apply(answer, at_s);
    if (std::holds_alternative<LiveAnswer>(answer)) states.push_back(TimingStateJson(state, at_s));
  });
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr) << path;
  ReplayOptions options;
  options.speed = 0;
  std::string error;
  EXPECT_TRUE(Replay(file, &feed, options, &error)) << error;
  std::fclose(file);
  ASSERT_GT(states.size(), 100U) << path;
  std::size_t whole_bytes = 0;
  std::size_t change_bytes = 0;
  json held = json::parse(states[0]);
  json two_before;
  for (std::size_t i = 1; i < states.size(); ++i) {
    const auto change = StateChangeJson(states[i - 1], states[i], i);
    ASSERT_TRUE(change.has_value()) << "update " << i;
    const json parsed = json::parse(*change);
    if (i % 16 == 0) {
      EXPECT_FALSE(ApplyStateChange(two_before, parsed)) << "applied out of turn";
    }
    auto next = ApplyStateChange(held, parsed);
    ASSERT_TRUE(next.has_value()) << "update " << i;
    ASSERT_EQ(*next, json::parse(states[i])) << "update " << i << ": " << *change;
    two_before = std::exchange(held, std::move(*next));
    whole_bytes += states[i].size();
    change_bytes += change->size();
  }
  std::printf("%zu updates: whole states %zu bytes, changes %zu bytes (%.1f times fewer)\n",
              states.size() - 1, whole_bytes, change_bytes,
              static_cast<double>(whole_bytes) / static_cast<double>(change_bytes));
}

INSTANTIATE_TEST_SUITE_P(StateChange, RecordedRaceTest, ::testing::ValuesIn(RecordedRaces()),
                         [](const ::testing::TestParamInfo<std::string>& race) {
                           return race.param;
                         });

}  // namespace
