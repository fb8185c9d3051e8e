#include "server/log_budgets.h"

#include <gtest/gtest.h>

namespace {

using V = LogVerdict;

// Spends `address`'s budget `times` times at `now`; the verdict of the last.
AddressLogBudgets::Spent SpendTimes(AddressLogBudgets* table, std::uint32_t address,
                                    std::uint32_t now, int times) {
  AddressLogBudgets::Spent spent;
  for (int i = 0; i < times; ++i) spent = table->Spend(address, now);
  return spent;
}

TEST(AddressLogBudgetsTest, AnAddressKeepsItsBudgetAndTheLongestSilentMakesRoom) {
  constexpr std::uint32_t kA = 1, kB = 2, kC = 3;
  AddressLogBudgets table(2);
  EXPECT_EQ(SpendTimes(&table, kA, 100, kLogBurstLines).verdict, V::kWrite);
  EXPECT_EQ(SpendTimes(&table, kA, 100, 2).verdict, V::kDrop);
  EXPECT_EQ(table.TakeDropped(kA), 2u) << "the count, as at a close";
  EXPECT_EQ(table.TakeDropped(kA), 0u) << "each dropped line is reported once";

  // The same address again, as from its next connection: still spent, so
  // 10 ms refill no line; another address has its own budget.
  EXPECT_EQ(table.Spend(kA, 110).verdict, V::kDrop);
  EXPECT_EQ(table.Spend(kB, 110).verdict, V::kWrite);

  // A third address takes the place of the one heard from longest ago (A),
  // whose one dropped line is handed back.
  AddressLogBudgets::Spent spent = table.Spend(kC, 120);
  EXPECT_EQ(spent.verdict, V::kWrite);
  EXPECT_EQ(spent.evicted_address, kA);
  EXPECT_EQ(spent.evicted_dropped, 1u);
  EXPECT_EQ(table.TakeDropped(kA), 0u) << "no longer in the table";

  // B was heard from after A, so now B goes; it had dropped nothing.
  EXPECT_EQ(table.Spend(kB, 130).verdict, V::kWrite) << "B is still there: heard from again";
  spent = table.Spend(kA, 140);
  EXPECT_EQ(spent.verdict, V::kWrite) << "an address the table let go of starts afresh";
  EXPECT_EQ(spent.evicted_address, kC);
  EXPECT_EQ(spent.evicted_dropped, 0u);

  // Quiet for two seconds after drops: the count, then a fresh burst.
  SpendTimes(&table, kA, 200, kLogBurstLines + 5);
  spent = table.Spend(kA, 200 + kLogQuietMs);
  EXPECT_EQ(spent.verdict, V::kWriteAfterDrops);
  EXPECT_EQ(spent.dropped_before, 6u);
  EXPECT_EQ(SpendTimes(&table, kA, 200 + kLogQuietMs, kLogBurstLines - 1).verdict, V::kWrite);
  EXPECT_EQ(table.Spend(kA, 200 + kLogQuietMs).verdict, V::kDrop);
}

}  // namespace
