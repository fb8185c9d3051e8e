#include "track_svg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(TrackSvgTest, MapScalesToFitNorthUpWithTitleAndLegend) {
  TrackOutline outline;
  // Points alternate between the two edges of each band.
  outline.strips.push_back(OutlineStrip{1, {{0, 0}, {0, 50}, {100, 0}, {100, 50}}});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  outline.strips.push_back(
      OutlineStrip{0, {{10, 10}, {10, 40}, {nan, 5}, {nan, 5}, {90, 10}, {90, 40}}});
  // Two cars, the second with no position.
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Test <Ring>", 3, 0.0f, 5, 1000.0f});
  state.ApplyDrivers(DriversAnswer{0, {{0, "Driver Number 1"}, {1, "Driver Number 2"}}});
  const std::vector<CarState> cars = {
      {.place = 1, .laps = 1, .x = 50, .z = 25},
      {.index = 1, .place = 2, .time_behind_leader = 0.25f, .laps = 1, .x = nan}};
  state.ApplyLive(LiveAnswer{0, true, 0, -1, 0, cars}, 0);
  const std::string svg = TrackSvg(outline, state);
  // 100 x 50 world units on 900: 9 a unit; the map starts at (20, 76) below
  // the title, the legend 270 wide to its right.
  EXPECT_TRUE(Has(svg, "width=\"1230\" height=\"546\" viewBox=\"0 0 1230 546\"")) << svg;
  // Out along the even points, back along the odd ones.
  EXPECT_TRUE(Has(svg, "points=\"20.0,526.0 920.0,526.0 920.0,76.0 20.0,76.0\"")) << svg;
  EXPECT_TRUE(Has(svg, "points=\"110.0,436.0 830.0,436.0 830.0,166.0 110.0,166.0\"")) << svg;
  EXPECT_TRUE(Has(svg, "<circle class=\"car\" cx=\"470.0\" cy=\"301.0\"")) << svg;
  EXPECT_TRUE(Has(svg, "<circle class=\"leader\" cx=\"470.0\" cy=\"301.0\"")) << svg;
  EXPECT_TRUE(Has(svg, ">Test &lt;Ring&gt;</text>")) << "the track name as the title";
  EXPECT_TRUE(Has(svg, ">race | lap 2/5 | time 0:00 | leader Driver Number 1</text>")) << svg;
  EXPECT_EQ(Count(svg, "<circle class=\"car\""), 1) << "the car without a position is left out";
  EXPECT_EQ(Count(svg, "class=\"legend\""), 2) << "but listed in the legend";
  EXPECT_TRUE(Has(svg, ">2 Driver Number 2</text>")) << svg;
  EXPECT_TRUE(Has(svg, ">+0.250</text>")) << svg;
  EXPECT_FALSE(Has(svg, "nan"));
  EXPECT_EQ(svg.rfind("</svg>\n"), svg.size() - 7);
}

TEST(TrackSvgTest, EmptyOutlineAndNoCarsDoNotDivideByZero) {
  TrackOutline outline;
  outline.strips.push_back(OutlineStrip{1, {{5, 5}}});
  const std::string svg = TrackSvg(outline, TimingState{});
  EXPECT_TRUE(Has(svg, "width=\"330\" height=\"114\"")) << svg;
  EXPECT_TRUE(Has(svg, "points=\"20.0,76.0\"")) << svg;
  EXPECT_TRUE(Has(svg, ">(track not known)</text>")) << svg;
}

TEST(TrackSvgTest, PackLabelsNeverOverlapAndEveryCarKeepsAPlaceWhereThereIsRoom) {
  // A grid of 20 cars two by two, 8 m apart on a 400 m straight: tighter
  // than the labels.
  std::vector<LabelRequest> requests;
  for (int i = 0; i < 20; ++i) {
    requests.push_back(LabelRequest{
        500.0 - 6.0 * i, 400.0 + (i % 2) * 4.0,
        std::to_string(i + 1) + " Driver Number " + std::to_string(i + 1), std::to_string(i + 1)});
  }
  const SvgBox bounds{0, 0, 1000, 800};
  const std::vector<PlacedLabel> labels = PlaceLabels(requests, bounds, 5);
  ASSERT_EQ(labels.size(), 20u);
  int full = 0, shown = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const PlacedLabel& a = labels[i];
    if (a.form == PlacedLabel::Form::kNone) continue;
    ++shown;
    full += a.form == PlacedLabel::Form::kFull;
    EXPECT_GE(a.box.x, 0);
    EXPECT_LE(a.box.x + a.box.width, 1000);
    for (std::size_t j = 0; j < labels.size(); ++j) {
      const SvgBox dot{requests[j].x - 5, requests[j].y - 5, 10, 10};
      EXPECT_FALSE(a.box.Overlaps(dot)) << "label " << i << " covers dot " << j;
      if (j != i && labels[j].form != PlacedLabel::Form::kNone) {
        EXPECT_FALSE(a.box.Overlaps(labels[j].box)) << i << " and " << j;
      }
    }
  }
  EXPECT_EQ(shown, 20) << "there is room around the pack for every place";
  EXPECT_GE(full, 10) << "and for most names";
  EXPECT_EQ(labels[0].form, PlacedLabel::Form::kFull) << "the leader is labelled first";
}

TEST(TrackSvgTest, NoRoomMeansShortThenNoLabel) {
  // A box hardly larger than the dot: not even the place fits beside it.
  const std::vector<LabelRequest> requests = {{10, 10, "1 Ann", "1"}};
  EXPECT_EQ(PlaceLabels(requests, SvgBox{0, 0, 20, 20}, 5)[0].form, PlacedLabel::Form::kNone);
  // Room for "1" but not for "1 Ann".
  EXPECT_EQ(PlaceLabels(requests, SvgBox{0, 0, 40, 20}, 5)[0].form, PlacedLabel::Form::kShort);
  EXPECT_EQ(PlaceLabels(requests, SvgBox{0, 0, 100, 20}, 5)[0].form, PlacedLabel::Form::kFull);
}

TEST(TrackSvgTest, CarColoursAreDistinct) {
  std::set<std::string> colours;
  for (int i = 0; i < 40; ++i) colours.insert(CarColour(static_cast<std::uint8_t>(i)));
  EXPECT_EQ(colours.size(), 40u);
  EXPECT_EQ(CarColour(0).size(), 7u);
  EXPECT_EQ(CarColour(0)[0], '#');
}

// Only characters XML 1.0 allows reach the file, whatever the names hold.
// Every attribute and text goes through the escape, whatever its source.
TEST(TrackSvgTest, TheElementWriterEscapesEveryAttributeAndText) {
  std::string out;
  SvgElement(&out, "circle").Attr("fill", "#fff\" onload=\"x").Attr("r", 2.75).Close();
  SvgElement(&out, "text").Attr("class", "a&b").Text("<script>'\x01'");
  SvgElement(&out, "g").Attr("id", std::string("g<1>")).Open();
  SvgEndTag(&out, "g");
  EXPECT_EQ(out,
            "<circle fill=\"#fff&quot; onload=&quot;x\" r=\"2.8\"/>\n"
            "<text class=\"a&amp;b\">&lt;script&gt;&apos;\\x01&apos;</text>\n"
            "<g id=\"g&lt;1&gt;\">\n</g>\n");
}

TEST(TrackSvgTest, HostileNamesAreEscapedText) {
  EXPECT_EQ(XmlEscape("1 Bob \"Q\" Day\x01 & <x>"), "1 Bob &quot;Q&quot; Day\\x01 &amp; &lt;x&gt;");
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Ring\xef\xbf\xbf\x0c", 3, 0.0f, 5, 1000.0f});
  state.ApplyDrivers(DriversAnswer{0,
                                   {{0, "\xef\xbf\xbe<b>\x1b[1m"},
                                    {1,
                                     "\xe2\x80\xae"
                                     "A'\xc2\x9b"}}});
  state.ApplyLive(LiveAnswer{0, true, 0, -1, 0, {{.place = 1}, {.index = 1, .place = 2, .x = 9}}},
                  0);
  const std::string svg = TrackSvg(TrackOutline{}, state);
  EXPECT_TRUE(Has(svg, ">Ring\\uffff\\x0c</text>")) << svg;
  EXPECT_TRUE(Has(svg, ">1 \\ufffe&lt;b&gt;\\x1b[1m</text>")) << svg;
  EXPECT_TRUE(Has(svg, ">2 \\u202eA&apos;\\x9b</text>")) << svg;
  for (const char c : svg) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << svg;
  EXPECT_FALSE(Has(svg, "\xef\xbf\xbe") || Has(svg, "\xef\xbf\xbf") || Has(svg, "\xc2\x9b"));
}

}  // namespace

namespace {

TEST(TrackSvgTest, ClassColoursNumbersOnMarkersAndALegendByClass) {
  std::string error;
  std::optional<League> league = League::Parse(
      "kind,name,number,class,colour\n"
      "class,GT3,,,#ffd700\n"  // light: a black number on it
      "class,GT4,,,#1a237e\n"  // dark: a white one
      "driver,Ann,7,GT4,\n"
      "driver,Bea,,GT3,\n"
      "driver,Cy,12,GT4,\n",
      "league.csv", &error);
  ASSERT_TRUE(league) << error;
  TrackOutline outline;
  outline.strips.push_back(OutlineStrip{1, {{0, 0}, {0, 50}, {100, 0}, {100, 50}}});
  TimingState state;
  state.ApplySession(SessionAnswer{0, "Ring", 3, 0.0f, 5, 1000.0f});
  state.ApplyDrivers(DriversAnswer{0, {{0, "Ann"}, {1, "Bea"}, {2, "Cy"}, {3, "Dee"}}});
  state.SetLeague(std::make_shared<const League>(std::move(*league)));
  const std::vector<CarState> cars = {
      {.place = 1, .laps = 1, .x = 10, .z = 25},
      {.index = 1, .place = 2, .time_behind_leader = 1.5f, .laps = 1, .x = 40, .z = 25},
      {.index = 2, .place = 3, .time_behind_leader = 4.0f, .laps = 1, .x = 70, .z = 25},
      {.index = 3, .place = 4, .time_behind_leader = 9.0f, .laps = 1, .x = 95, .z = 25}};
  state.ApplyLive(LiveAnswer{0, true, 0, -1, 0, cars}, 0);
  const std::string svg = TrackSvg(outline, state);
  // Markers in the class colour, larger to hold the number; a car in no
  // class keeps its own colour.
  EXPECT_TRUE(
      Has(svg, "<circle class=\"car\" cx=\"110.0\" cy=\"301.0\" r=\"8.0\" fill=\"#1a237e\""))
      << svg;
  EXPECT_TRUE(
      Has(svg, "<circle class=\"car\" cx=\"380.0\" cy=\"301.0\" r=\"8.0\" fill=\"#ffd700\""));
  EXPECT_TRUE(Has(svg, "r=\"8.0\" fill=\"" + CarColour(3) + "\""));
  EXPECT_TRUE(Has(svg, "text-anchor=\"middle\" fill=\"#ffffff\">7</text>")) << svg;
  EXPECT_TRUE(Has(svg, "text-anchor=\"middle\" fill=\"#ffffff\">12</text>"));
  EXPECT_EQ(Count(svg, "class=\"number\""), 2) << "Bea and Dee have no number";
  // The legend: GT3 first (the file's order), then GT4, then no class;
  // gaps within the class.
  const std::size_t gt3 = svg.find(">GT3 (1)</text>"), gt4 = svg.find(">GT4 (2)</text>"),
                    none = svg.find(">(no class) (1)</text>");
  ASSERT_NE(gt3, std::string::npos) << svg;
  ASSERT_NE(gt4, std::string::npos);
  ASSERT_NE(none, std::string::npos);
  EXPECT_LT(gt3, gt4);
  EXPECT_LT(gt4, none);
  // (The map's labels, before the legend, read "2 Bea" too.)
  const std::size_t bea = svg.find(">2 Bea</text>", gt3), ann = svg.find(">1 #7 Ann</text>"),
                    cy = svg.find(">3 #12 Cy</text>");
  EXPECT_TRUE(gt3 < bea && bea < gt4 && gt4 < ann && ann < cy && cy < none) << svg;
  EXPECT_TRUE(Has(svg.substr(bea, 200), ">leader</text>")) << "Bea leads GT3";
  EXPECT_TRUE(Has(svg.substr(cy, 200), ">+4.000</text>")) << "Cy is 4 s behind Ann in GT4";
  EXPECT_TRUE(Has(svg.substr(none), ">+9.000</text>")) << "Dee's gap to the overall leader";
}

}  // namespace
