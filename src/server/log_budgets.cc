#include "server/log_budgets.h"

#include <algorithm>

LogVerdict SpendLogLine(LogBudget* budget, std::uint32_t now, std::uint32_t* dropped_before) {
  // Unsigned difference: correct across the clock's wrap.
  const std::uint32_t elapsed = budget->seen ? now - budget->last_ms : 0;
  budget->seen = true;
  budget->last_ms = now;
  if (budget->dropped > 0) {
    if (elapsed < kLogQuietMs) {
      ++budget->dropped;
      return LogVerdict::kDrop;
    }
    // Quiet long enough: a fresh budget, of which this line is the first.
    *dropped_before = budget->dropped;
    budget->dropped = 0;
    budget->milli_lines = (kLogBurstLines - 1) * 1000;
    return LogVerdict::kWriteAfterDrops;
  }
  budget->milli_lines = std::min<std::uint64_t>(
      kLogBurstLines * 1000,
      budget->milli_lines + static_cast<std::uint64_t>(elapsed) * kLogLinesPerSecond);
  if (budget->milli_lines >= 1000) {
    budget->milli_lines -= 1000;
    return LogVerdict::kWrite;
  }
  budget->dropped = 1;
  return LogVerdict::kDrop;
}

AddressLogBudgets::AddressLogBudgets(int capacity)
    : capacity_(std::max(capacity, 1)),
      addresses_(static_cast<std::size_t>(capacity_)),
      entries_(static_cast<std::size_t>(capacity_)) {}

AddressLogBudgets::Spent AddressLogBudgets::Spend(std::uint32_t address, std::uint32_t now,
                                                  LogBudgetCache* cache) {
  Spent spent;
  // Unsigned difference: correct across the clock's wrap.
  if (cache->dropping && now - cache->asked_ms < kLogAskAgainMs) {
    ++cache->dropped;
    cache->last_ms = now;
    return spent;  // kDrop
  }
  MutexLock lock(&mu_);
  int i = Find(address);
  if (i < 0) {
    if (used_ < capacity_) {
      i = used_++;
    } else {
      i = oldest_;
      Unlink(i);
      spent.evicted_address = addresses_[static_cast<std::size_t>(i)];
      spent.evicted_dropped = entries_[static_cast<std::size_t>(i)].budget.dropped;
    }
    addresses_[static_cast<std::size_t>(i)] = address;
    entries_[static_cast<std::size_t>(i)].budget = LogBudget();
  } else {
    Unlink(i);
  }
  LinkNewest(i);
  // Lines this connection dropped on its own keep an address pushed out
  // meanwhile silent, as it was.
  HandOver(i, cache);
  spent.verdict =
      SpendLogLine(&entries_[static_cast<std::size_t>(i)].budget, now, &spent.dropped_before);
  cache->asked = true;
  cache->dropping = spent.verdict == LogVerdict::kDrop;
  cache->asked_ms = now;
  return spent;
}

std::uint32_t AddressLogBudgets::TakeDropped(std::uint32_t address, LogBudgetCache* cache) {
  MutexLock lock(&mu_);
  const int i = Find(address);
  if (i < 0) {
    const std::uint32_t dropped = cache->dropped;
    cache->dropped = 0;
    return dropped;
  }
  HandOver(i, cache);
  LogBudget& budget = entries_[static_cast<std::size_t>(i)].budget;
  const std::uint32_t dropped = budget.dropped;
  budget.dropped = 0;
  return dropped;
}

void AddressLogBudgets::HandOver(int i, LogBudgetCache* cache) {
  if (cache->dropped == 0) return;
  LogBudget& budget = entries_[static_cast<std::size_t>(i)].budget;
  budget.dropped += cache->dropped;
  // The later of the two times, by unsigned difference across the wrap.
  if (!budget.seen || cache->last_ms - budget.last_ms < 0x80000000u) {
    budget.last_ms = cache->last_ms;
  }
  budget.seen = true;
  cache->dropped = 0;
}

int AddressLogBudgets::Find(std::uint32_t address) const {
  const auto end = addresses_.begin() + used_;
  const auto found = std::find(addresses_.begin(), end, address);
  return found == end ? -1 : static_cast<int>(found - addresses_.begin());
}

void AddressLogBudgets::Unlink(int i) {
  Entry& e = entries_[static_cast<std::size_t>(i)];
  if (e.newer >= 0) {
    entries_[static_cast<std::size_t>(e.newer)].older = e.older;
  } else {
    newest_ = e.older;
  }
  if (e.older >= 0) {
    entries_[static_cast<std::size_t>(e.older)].newer = e.newer;
  } else {
    oldest_ = e.newer;
  }
  e.newer = e.older = -1;
}

void AddressLogBudgets::LinkNewest(int i) {
  Entry& e = entries_[static_cast<std::size_t>(i)];
  e.older = newest_;
  e.newer = -1;
  if (newest_ >= 0) entries_[static_cast<std::size_t>(newest_)].newer = i;
  newest_ = i;
  if (oldest_ < 0) oldest_ = i;
}
