#include "league.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr const char* kHeader = "kind,name,also,number,short,team,class,nation,colour\n";

std::optional<League> Read(const std::string& text, std::string* error) {
  return League::Parse(text, "league.csv", error);
}

std::string ErrorOf(const std::string& text) {
  std::string error;
  const std::optional<League> league = Read(text, &error);
  EXPECT_FALSE(league) << "read without a fault: " << text;
  return error;
}

TEST(LeagueFileTest, ReadsClassesAndDriversWithQuotingAndUtf8) {
  const std::string text =
      "\xEF\xBB\xBF"  // a spreadsheet's byte-order mark
      "kind,name,also,number,short,team,class,nation,colour\r\n"
      "# classes first, in their order\r\n"
      "class,GT3,,,,,,,#E4572E\r\n"
      "class,GT4,,,,,,,#29f\r\n"
      "\r\n"
      "driver,Ada Brennan,A. Brennan,7,BRE,\"Brennan, Okafor & Co\",GT3,ie,\r\n"
      ",\"Łukasz \"\"Luk\"\" Żak\",,42,,\"Two\nLines\",GT4,PL,\r\n"
      "DRIVER,  Kenji Mori  ,,017,,,,,\r\n"
      ",,,,,,,,\r\n";
  std::string error;
  const std::optional<League> league = Read(text, &error);
  ASSERT_TRUE(league) << error;
  ASSERT_EQ(league->classes().size(), 2u);
  EXPECT_EQ(league->classes()[0].name, "GT3");
  EXPECT_EQ(league->classes()[0].colour, "#e4572e");
  EXPECT_EQ(league->classes()[0].order, 1);
  EXPECT_EQ(league->classes()[1].colour, "#2299ff");
  EXPECT_EQ(league->classes()[1].order, 2);

  ASSERT_EQ(league->drivers().size(), 3u);
  const LeagueDriver& ada = league->drivers()[0];
  EXPECT_EQ(ada.team, "Brennan, Okafor & Co");
  EXPECT_EQ(ada.nation, "IE");
  EXPECT_EQ(ada.number, 7);
  EXPECT_EQ(ada.line, 6);
  const LeagueDriver& lukasz = league->drivers()[1];
  EXPECT_EQ(lukasz.name, "Łukasz \"Luk\" Żak");
  EXPECT_EQ(lukasz.short_name, "ŻAK");  // made from the last word
  EXPECT_EQ(lukasz.team, "Two\nLines");
  EXPECT_EQ(lukasz.class_name, "GT4");
  const LeagueDriver& kenji = league->drivers()[2];
  EXPECT_EQ(kenji.line, 9);  // the quoted line break counts
  EXPECT_EQ(kenji.name, "Kenji Mori");
  EXPECT_EQ(kenji.number, 17);
  EXPECT_TRUE(kenji.class_name.empty());
}

TEST(LeagueFileTest, FindsDriversIgnoringCaseAndSpacesByEitherName) {
  std::string error;
  const std::optional<League> league = Read(std::string(kHeader) +
                                                "driver,Ada Brennan,A. Brennan,7,,,,,\n"
                                                "driver,Łukasz Żak,,8,,,,,\n"
                                                "driver,Ирина Орлова,,9,,,,,\n",
                                            &error);
  ASSERT_TRUE(league) << error;
  ASSERT_NE(league->Find("  ada   BRENNAN "), nullptr);
  EXPECT_EQ(league->Find("a. brennan"), league->Find("Ada Brennan"));
  ASSERT_NE(league->Find("ŁUKASZ ŻAK"), nullptr);
  EXPECT_EQ(league->Find("ŁUKASZ ŻAK")->number, 8);
  ASSERT_NE(league->Find("ИРИНА ОРЛОВА"), nullptr);
  EXPECT_EQ(league->Find("Ada Brenan"), nullptr);
  EXPECT_EQ(league->Find("\xff\xfe"), nullptr);  // not UTF-8 from the network: no match, no fault
  EXPECT_EQ(league->Find(""), nullptr);
}

TEST(LeagueFileTest, ColumnsInAnyOrderAndSemicolonsAsSpreadsheetsWriteThem) {
  std::string error;
  std::optional<League> league =
      Read("Name;Number;Notes\nAda Brennan;7;\"likes; semicolons\"\nYusuf Okafor;;\n", &error);
  ASSERT_TRUE(league) << error;
  ASSERT_EQ(league->drivers().size(), 2u);
  EXPECT_EQ(league->drivers()[0].number, 7);
  EXPECT_EQ(league->drivers()[0].short_name, "BRE");
  EXPECT_FALSE(league->drivers()[1].number);
  league = Read("name,color,kind\nGT3,#abcdef,class\nAda Brennan,,\n", &error);
  ASSERT_TRUE(league) << error;
  EXPECT_EQ(league->classes().at(0).colour, "#abcdef");
}

TEST(LeagueFileTest, EveryFaultNamesTheFileTheLineAndWhatIsWrong) {
  const std::string h = kHeader;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "league.csv:1: no header row (the first row names the columns: name, number, ...)"},
      {"name,numbr\n",
       "league.csv:1: unknown column 'numbr' (the columns are kind, name, also, number, short, "
       "team, class, nation, colour and notes)"},
      {"name,Name\n", "league.csv:1: column 'name' is named twice"},
      {"number,team\n", "league.csv:1: the header has no 'name' column"},
      {h + "driver,Ada Brennan,,7,,,,\n", "league.csv:2: 8 field(s), but the header has 9"},
      {h + "driver,Ada Brennan,,7,,,,,,\n", "league.csv:2: 10 field(s), but the header has 9"},
      {h + "driver,Ada Brennan,,,,,,,\ndriver,ADA BRENNAN ,,,,,,,\n",
       "league.csv:3: ADA BRENNAN is already on line 2"},
      {h + "driver,Ada Brennan,,,,,,,\ndriver,Bo Lind,ada brennan,,,,,,\n",
       "league.csv:3: ada brennan is already on line 2"},
      {h + "driver,Ada Brennan,,7,,,,,\ndriver,Ada Brennan,,7,,,,,\n",
       "league.csv:3: Ada Brennan is already on line 2"},  // a row twice: its name is the fault
      {h + "driver,Ada Brennan,,7,,,,,\ndriver,Bo Lind,,07,,,,,\n",
       "league.csv:3: car number 07 is already Ada Brennan's (line 2)"},
      {h + "driver,Ada Brennan,,,,,GT5,,\nclass,GT3,,,,,,,#fff\n",
       "league.csv:2: class 'GT5' is not defined (add a row: class,GT5 with its colour)"},
      {h + "class,GT3,,,,,,,blue\n",
       "league.csv:2: 'blue' is not a colour (write #rrggbb, e.g. #e4572e)"},
      {h + "class,GT3,,,,,,,#12345g\n",
       "league.csv:2: '#12345g' is not a colour (write #rrggbb, e.g. #e4572e)"},
      {h + "class,GT3,,,,,,,\n",
       "league.csv:2: class GT3 has no colour (write #rrggbb, e.g. #e4572e)"},
      {h + "class,GT3,,,,,,,#fff\nclass,GT3,,,,,,,#000\n",
       "league.csv:3: class GT3 is already defined on line 2"},
      {h + "class,GT3,,,,Team,,,#fff\n",
       "league.csv:2: a class row takes only a name and a colour, but 'team' is filled in"},
      {h + "class,,,,,,,,#fff\n", "league.csv:2: a class row without a name"},
      {h + "car,Ada,,,,,,,\n", "league.csv:2: kind 'car' is neither class nor driver"},
      {h + "driver,,,7,,,,,\n", "league.csv:2: a driver row without a name"},
      {h + "driver,Ada,,,,,,,#fff\n",
       "league.csv:2: a colour belongs to a class row, not to driver Ada"},
      {h + "driver,Ada,,1000,,,,,\n", "league.csv:2: '1000' is not a car number (0 to 999)"},
      {h + "driver,Ada,,-1,,,,,\n", "league.csv:2: '-1' is not a car number (0 to 999)"},
      {h + "driver,Ada,,,ADAB,,,,\n",
       "league.csv:2: short name 'ADAB' is longer than three characters"},
      {h + "driver,Ada,,,,,,XX,\n",
       "league.csv:2: 'XX' is not an ISO 3166 country code (two letters, e.g. DE)"},
      {h + "driver,Ada,,,,,,DEU,\n",
       "league.csv:2: 'DEU' is not an ISO 3166 country code (two letters, e.g. DE)"},
      {h + "driver,\"Ada,,,,,,,,\n", "league.csv:2: a quoted field is not closed"},
      {h + "driver,\"Ada\" B,,,,,,,\n", "league.csv:2: text after the closing quote of a field"},
      {h + "driver,Ad\xe9,,,,,,,\n",
       "league.csv:2: not UTF-8 text (save the file as CSV in UTF-8)"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(ErrorOf(text), message) << text;
}

TEST(LeagueFileTest, ShortNamesComeFromTheLastWord) {
  EXPECT_EQ(ShortNameFrom("Ada Brennan"), "BRE");
  EXPECT_EQ(ShortNameFrom("  Kenji   Mori "), "MOR");
  EXPECT_EQ(ShortNameFrom("Li"), "LI");
  EXPECT_EQ(ShortNameFrom("Émile Ørsted"), "ØRS");
  EXPECT_EQ(ShortNameFrom(""), "");
  EXPECT_EQ(FoldName(" Ÿves  ÀÉÎ "), "ÿves àéî");
}

class LeagueWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             (std::string("league_watch_") +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv"))
                .string();
  }
  void TearDown() override { std::filesystem::remove(path_); }
  void Write(const std::string& text) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    // A new modification time even on a file system with coarse stamps.
    const auto time = std::filesystem::last_write_time(path_) + std::chrono::seconds(++writes_);
    std::filesystem::last_write_time(path_, time);
  }
  std::string path_;
  int writes_ = 0;
};

TEST_F(LeagueWatchTest, ReadsAgainOnChangeAndKeepsTheOldLeagueWhenTheNewOneIsWrong) {
  Write(std::string(kHeader) + "driver,Ada Brennan,,7,,,,,\n");
  LeagueWatch watch(path_);
  std::string message;
  ASSERT_TRUE(watch.Load(&message)) << message;
  const std::shared_ptr<const League> first = watch.current();
  EXPECT_FALSE(watch.Poll(&message, std::chrono::milliseconds(0)));
  EXPECT_EQ(message, "");

  Write(std::string(kHeader) + "driver,Ada Brennan,,7,,,,,\ndriver,Bo Lind,,7,,,,,\n");
  EXPECT_FALSE(watch.Poll(&message, std::chrono::milliseconds(0)));
  EXPECT_EQ(message, path_ + ":3: car number 7 is already Ada Brennan's (line 2)" +
                         "; keeping the league read before");
  EXPECT_EQ(watch.current(), first);
  // Said once: the same wrong file says nothing more.
  EXPECT_FALSE(watch.Poll(&message, std::chrono::milliseconds(0)));
  EXPECT_EQ(message, "");

  Write(std::string(kHeader) + "driver,Ada Brennan,,7,,,,,\ndriver,Bo Lind,,8,,,,,\n");
  EXPECT_TRUE(watch.Poll(&message, std::chrono::milliseconds(0)));
  EXPECT_EQ(message, "read " + path_ + " again: 2 driver(s) in 0 class(es)");
  ASSERT_NE(watch.current()->Find("bo lind"), nullptr);

  std::filesystem::remove(path_);
  EXPECT_FALSE(watch.Poll(&message, std::chrono::milliseconds(0)));
  EXPECT_EQ(message.rfind("cannot read " + path_ + ": ", 0), 0u) << message;
  EXPECT_NE(watch.current()->Find("bo lind"), nullptr);
}

TEST_F(LeagueWatchTest, LooksOnlyAsOftenAsAsked) {
  Write(std::string(kHeader) + "driver,Ada Brennan,,7,,,,,\n");
  LeagueWatch watch(path_);
  std::string message;
  ASSERT_TRUE(watch.Load(&message));
  Write(std::string(kHeader) + "driver,Bo Lind,,7,,,,,\n");
  EXPECT_FALSE(watch.Poll(&message, std::chrono::hours(1)));
  EXPECT_NE(watch.current()->Find("ada brennan"), nullptr);
  EXPECT_TRUE(watch.Poll(&message, std::chrono::milliseconds(0)));
  EXPECT_EQ(watch.current()->Find("ada brennan"), nullptr);
}

TEST(LeagueLoadTest, SaysWhyAFileCannotBeRead) {
  std::string error;
  EXPECT_FALSE(League::Load("/nonexistent/league.csv", &error));
  EXPECT_EQ(error, "cannot read /nonexistent/league.csv: No such file or directory");
  EXPECT_FALSE(League::Load(std::filesystem::temp_directory_path().string(), &error));
  EXPECT_EQ(error.rfind("cannot read ", 0), 0u) << error;
}

}  // namespace
