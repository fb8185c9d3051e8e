#include "track_svg.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(TrackSvgTest, ScalesToFitWithNorthUp) {
  TrackOutline outline;
  // Points alternate between the two edges of each band.
  outline.strips.push_back(OutlineStrip{1, {{0, 0}, {0, 50}, {100, 0}, {100, 50}}});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  outline.strips.push_back(
      OutlineStrip{0, {{10, 10}, {10, 40}, {nan, 5}, {nan, 5}, {90, 10}, {90, 40}}});
  const std::string svg = TrackSvg(outline, {{50, 25, "1 A&B <x>"}, {nan, 0, "lost"}});
  // 100 x 50 world units on 960 drawing units: 9.6 per unit, margins of 20.
  EXPECT_TRUE(Has(svg, "width=\"1000\" height=\"520\" viewBox=\"0 0 1000 520\"")) << svg;
  // Out along the even points, back along the odd ones.
  EXPECT_TRUE(Has(svg, "points=\"20.0,500.0 980.0,500.0 980.0,20.0 20.0,20.0\"")) << svg;
  EXPECT_TRUE(Has(svg, "points=\"116.0,404.0 884.0,404.0 884.0,116.0 116.0,116.0\"")) << svg;
  EXPECT_TRUE(Has(svg, "<circle cx=\"500.0\" cy=\"260.0\"")) << svg;
  EXPECT_TRUE(Has(svg, ">1 A&amp;B &lt;x&gt;</text>")) << svg;
  EXPECT_FALSE(Has(svg, "lost"));
  EXPECT_FALSE(Has(svg, "nan"));
  EXPECT_EQ(svg.rfind("</svg>\n"), svg.size() - 7);
}

TEST(TrackSvgTest, SinglePointDoesNotDivideByZero) {
  TrackOutline outline;
  outline.strips.push_back(OutlineStrip{1, {{5, 5}}});
  const std::string svg = TrackSvg(outline, {});
  EXPECT_TRUE(Has(svg, "width=\"40\" height=\"40\"")) << svg;
  EXPECT_TRUE(Has(svg, "points=\"20.0,20.0\"")) << svg;
}

TEST(TrackSvgTest, CarLabelsUsePlaceAndDriverName) {
  LiveAnswer live;
  CarState a;
  a.index = 2;
  a.place = 1;
  CarState b;
  b.index = 7;
  b.place = 2;
  live.cars = {a, b};
  const DriversAnswer drivers{0, {{2, "Bob \"Q\" Day\x01"}}};
  const std::vector<SvgCar> cars = CarsForSvg(live, &drivers);
  ASSERT_EQ(cars.size(), 2u);
  EXPECT_EQ(cars[0].label, "1 Bob \"Q\" Day\x01");
  EXPECT_EQ(cars[1].label, "2 car 7");
  EXPECT_EQ(XmlEscape(cars[0].label), "1 Bob &quot;Q&quot; Day?");
  EXPECT_EQ(CarsForSvg(live, nullptr)[0].label, "1 car 2");
}

}  // namespace
