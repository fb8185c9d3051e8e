// Test support: a league read from the text of its file.
#ifndef PITWALL_TESTS_LEAGUE_OF_H_
#define PITWALL_TESTS_LEAGUE_OF_H_

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "tools/league/league.h"

// The league `text` describes, as a timing state takes it; null, and the
// test failed, when it does not read.
inline std::shared_ptr<const League> LeagueOf(const std::string& text) {
  std::string error;
  std::optional<League> league = League::Parse(text, "league.csv", &error);
  EXPECT_TRUE(league) << error;
  return league ? std::make_shared<const League>(std::move(*league)) : nullptr;
}

#endif  // PITWALL_TESTS_LEAGUE_OF_H_
