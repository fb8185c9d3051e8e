#include "server/log_budgets.h"

#include <gtest/gtest.h>

namespace {

using V = LogVerdict;

// Spends `address`'s budget `times` times at `now` for the connection of
// `cache`; the answer to the last.
AddressLogBudgets::Spent SpendTimes(AddressLogBudgets* table, std::uint32_t address,
                                    std::uint32_t now, int times, LogBudgetCache* cache) {
  AddressLogBudgets::Spent spent;
  for (int i = 0; i < times; ++i) spent = table->Spend(address, now, cache);
  return spent;
}

TEST(AddressLogBudgetsTest, AnAddressKeepsItsBudgetAndTheLongestSilentMakesRoom) {
  constexpr std::uint32_t kA = 1, kB = 2, kC = 3;
  AddressLogBudgets table(2);
  LogBudgetCache a1, a2, a3, b, c;  // one a connection
  EXPECT_EQ(SpendTimes(&table, kA, 100, kLogBurstLines, &a1).verdict, V::kWrite);
  EXPECT_EQ(SpendTimes(&table, kA, 100, 2, &a1).verdict, V::kDrop);
  EXPECT_EQ(table.TakeDropped(kA, &a1), 2u) << "the count, as at a close";
  EXPECT_EQ(table.TakeDropped(kA, &a1), 0u) << "each dropped line is reported once";

  // The same address again, from its next connection: still spent, so
  // 10 ms refill no line; another address has its own budget.
  EXPECT_EQ(table.Spend(kA, 110, &a2).verdict, V::kDrop);
  EXPECT_EQ(table.Spend(kB, 110, &b).verdict, V::kWrite);

  // A third address takes the place of the one heard from longest ago (A),
  // whose one dropped line is handed back.
  AddressLogBudgets::Spent spent = table.Spend(kC, 120, &c);
  EXPECT_EQ(spent.verdict, V::kWrite);
  EXPECT_EQ(spent.evicted_address, kA);
  EXPECT_EQ(spent.evicted_dropped, 1u);
  EXPECT_EQ(table.TakeDropped(kA, &a3), 0u) << "no longer in the table";

  // B was heard from after A, so now B goes; it had dropped nothing.
  EXPECT_EQ(table.Spend(kB, 130, &b).verdict, V::kWrite) << "B is still there: heard from again";
  spent = table.Spend(kA, 140, &a3);
  EXPECT_EQ(spent.verdict, V::kWrite) << "an address the table let go of starts afresh";
  EXPECT_EQ(spent.evicted_address, kC);
  EXPECT_EQ(spent.evicted_dropped, 0u);

  // Quiet for two seconds after drops: the count, then a fresh burst.
  SpendTimes(&table, kA, 200, kLogBurstLines + 5, &a3);
  spent = table.Spend(kA, 200 + kLogQuietMs, &a3);
  EXPECT_EQ(spent.verdict, V::kWriteAfterDrops);
  EXPECT_EQ(spent.dropped_before, 6u);
  EXPECT_EQ(SpendTimes(&table, kA, 200 + kLogQuietMs, kLogBurstLines - 1, &a3).verdict, V::kWrite);
  EXPECT_EQ(table.Spend(kA, 200 + kLogQuietMs, &a3).verdict, V::kDrop);
}

TEST(AddressLogBudgetsTest, LinesDroppedWithoutAskingCountAndKeepTheirTime) {
  constexpr std::uint32_t kA = 1;
  AddressLogBudgets table;
  LogBudgetCache mine, other;
  SpendTimes(&table, kA, 0, kLogBurstLines, &mine);
  EXPECT_EQ(table.Spend(kA, 0, &mine).verdict, V::kDrop);  // asked: spent
  // Within kLogAskAgainMs of asking: counted in the cache alone.
  EXPECT_EQ(table.Spend(kA, 50, &mine).verdict, V::kDrop);
  EXPECT_EQ(table.Spend(kA, 99, &mine).verdict, V::kDrop);
  EXPECT_EQ(mine.dropped, 2u);
  EXPECT_EQ(table.TakeDropped(kA, &other), 1u) << "another connection sees what was handed over";

  // The address was last heard from at 99, not at 0 when the table was
  // asked: 1999 ms later it is not yet quiet, 2000 ms after that it is.
  EXPECT_EQ(table.Spend(kA, 99 + kLogQuietMs - 1, &mine).verdict, V::kDrop);
  const AddressLogBudgets::Spent spent = table.Spend(kA, 99 + 2 * kLogQuietMs, &mine);
  EXPECT_EQ(spent.verdict, V::kWriteAfterDrops);
  EXPECT_EQ(spent.dropped_before, 3u) << "the two counted in the cache and the one at 2098";

  // At a close the cache's count is part of the address's.
  SpendTimes(&table, kA, 5000, kLogBurstLines + 1, &mine);  // asks: spent
  table.Spend(kA, 5001, &mine);                             // counted in the cache
  EXPECT_EQ(table.TakeDropped(kA, &mine), 2u);
}

}  // namespace
