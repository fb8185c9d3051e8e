// What a client's own mistakes (requests of unknown type or wrong length)
// may write to the log: a burst of lines, then a few a second. Past that,
// its lines are counted instead of written, until it has been quiet for a
// while or closes; then one line gives the count. Normal traffic never
// comes near it.
//
// The budget belongs to the client's IPv4 address, not to one connection:
// a client that closes and connects again goes on with what it left, so
// reconnecting earns no fresh burst. AddressLogBudgets keeps the budgets of
// a bounded number of addresses.
#ifndef PITWALL_SERVER_LOG_BUDGETS_H_
#define PITWALL_SERVER_LOG_BUDGETS_H_

#include <cstdint>
#include <vector>

#include "platform/mutex.h"

inline constexpr std::uint32_t kLogBurstLines = 40;
inline constexpr std::uint32_t kLogLinesPerSecond = 4;
inline constexpr std::uint32_t kLogQuietMs = 2000;

struct LogBudget {
  std::uint64_t milli_lines = kLogBurstLines * 1000;  // what may be written now
  std::uint32_t last_ms = 0;                          // when the last line came, written or not
  bool seen = false;
  std::uint32_t dropped = 0;  // lines not written since the budget ran out
};

enum class LogVerdict {
  kWrite,
  kWriteAfterDrops,  // write the count of the lines dropped before, then the line
  kDrop,
};

// Spends the budget on one line at `now` (milliseconds, any wrapping clock).
// On kWriteAfterDrops, *dropped_before is the count to write (the budget's
// own count starts again from 0).
LogVerdict SpendLogLine(LogBudget* budget, std::uint32_t now, std::uint32_t* dropped_before);

// While its address's budget is spent, a connection counts its dropped
// lines itself and asks the table again only this often, so that a flood
// of mistakes from many connections of one address does not queue on the
// table's lock.
inline constexpr std::uint32_t kLogAskAgainMs = 100;

// What one connection keeps between its calls to AddressLogBudgets. Touched
// only by the connection's own thread.
struct LogBudgetCache {
  bool asked = false;          // the table was asked at least once
  bool dropping = false;       // its last answer was kDrop
  std::uint32_t asked_ms = 0;  // when it was asked last
  std::uint32_t dropped = 0;   // lines dropped since, not yet handed over
  std::uint32_t last_ms = 0;   // when the last of those came
};

// The budgets of the addresses whose clients made mistakes, most recently
// heard from first. When the table is full, a new address takes the place
// of the one heard from longest ago, whose count of dropped lines (if any)
// is handed back so that it still gets written.
//
// Thread-safety: every member may be called from any thread; one mutex
// guards the table and is held only for the table's own work.
class AddressLogBudgets {
 public:
  // Enough for every client of a busy league at once; a table of this size
  // is scanned in well under a microsecond.
  static constexpr int kDefaultCapacity = 256;

  // Allocates the whole table (`capacity` at least 1) now, so that nothing
  // is allocated later; throws std::bad_alloc when memory runs out.
  explicit AddressLogBudgets(int capacity = kDefaultCapacity);
  AddressLogBudgets(const AddressLogBudgets&) = delete;
  AddressLogBudgets& operator=(const AddressLogBudgets&) = delete;

  struct Spent {
    LogVerdict verdict = LogVerdict::kDrop;
    // On kWriteAfterDrops: the count of dropped lines to write first.
    std::uint32_t dropped_before = 0;
    // An address pushed out of the table with lines dropped: the address
    // and the count to write for it (0: none was).
    std::uint32_t evicted_address = 0;
    std::uint32_t evicted_dropped = 0;
  };
  // Spends the budget of `address` (network byte order) on one line at
  // `now` for the connection whose `cache` it is, as SpendLogLine() does; an
  // address not in the table starts with a fresh budget. While the last
  // answer was kDrop, for kLogAskAgainMs, the line is counted in the cache
  // and dropped without asking the table; the next call that asks hands
  // that count over first.
  Spent Spend(std::uint32_t address, std::uint32_t now, LogBudgetCache* cache) LOCKS_EXCLUDED(mu_);

  // The count of lines of `address` dropped and not yet reported, the
  // cache's included, which starts again from 0 (the budget itself stays
  // as spent). For an address not in the table, the cache's count.
  std::uint32_t TakeDropped(std::uint32_t address, LogBudgetCache* cache) LOCKS_EXCLUDED(mu_);

 private:
  struct Entry {
    LogBudget budget;
    int newer = -1;  // the entry heard from next after this one, or -1
    int older = -1;  // the entry heard from just before this one, or -1
  };
  // The index of `address`, or -1.
  int Find(std::uint32_t address) const EXCLUSIVE_LOCKS_REQUIRED(mu_);
  // Moves the cache's dropped lines into entry `i`'s budget.
  void HandOver(int i, LogBudgetCache* cache) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void Unlink(int i) EXCLUSIVE_LOCKS_REQUIRED(mu_);
  void LinkNewest(int i) EXCLUSIVE_LOCKS_REQUIRED(mu_);

  const int capacity_;
  Mutex mu_;
  // addresses_[i] is the address of entries_[i]; apart, so that a search
  // scans a few cache lines. Sized to the capacity at construction; only the
  // first used_ are in use.
  std::vector<std::uint32_t> addresses_ GUARDED_BY(mu_);
  std::vector<Entry> entries_ GUARDED_BY(mu_);
  int used_ GUARDED_BY(mu_) = 0;
  int newest_ GUARDED_BY(mu_) = -1;
  int oldest_ GUARDED_BY(mu_) = -1;
};

#endif  // PITWALL_SERVER_LOG_BUDGETS_H_
