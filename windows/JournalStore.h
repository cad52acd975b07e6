#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "journal/Journal.h"

namespace zol {

/// The windows' way to the set-up journal (journal/). JournalStore.cpp keeps the records in the
/// journal; JournalStoreNone.cpp, for a build without SQLite, keeps none (the build picks one).

/// Whether this build keeps a journal.
bool JournalKept();
/// Where the journal is (DefaultJournalPath); empty in a build that keeps none.
std::string JournalLocation();
/// Adds Record to the journal at Path. Empty when recorded; else why it could not be.
std::string StoreJournalRecord(const std::string &Path, TJournalRecord Record);

/// The last Limit records of SerialNumber, newest first; Problem says why there are none when the
/// journal cannot be read (a journal not made yet is no problem: no records).
struct TJournalListing {
  std::vector<TJournalRecord> Records;
  std::string Problem;
};
TJournalListing ListJournal(const std::string &Path, const std::string &SerialNumber,
                            std::size_t Limit);

/// "write-filter", "held": the names the journal stores.
std::string StoredOperationName(TJournalOperation Operation);
std::string StoredVerdictName(TJournalVerdict Verdict);

/// Writes records to the journal on a thread of its own, in the order given, so that the
/// windows never wait for the database (another program's transaction may hold it up to
/// kJournalBusyMs). Done is called on that thread after each record, with the record's serial
/// number and, when it could not be written, why. The destructor writes what is still queued
/// (each record bounded by the journal's busy time-out), then joins the thread.
class TJournalWriter {
public:
  using TDone = std::function<void(const std::string &SerialNumber, const std::string &Problem)>;
  explicit TJournalWriter(TDone Done);
  ~TJournalWriter();
  TJournalWriter(const TJournalWriter &) = delete;
  TJournalWriter &operator=(const TJournalWriter &) = delete;

  /// Queues Record for the journal at Path.
  void Add(const std::string &Path, TJournalRecord Record);

private:
  void Run();

  TDone Done;
  std::mutex Mutex;
  std::condition_variable Wake;
  std::deque<std::pair<std::string, TJournalRecord>> Queue; // protected by Mutex
  bool Stopping = false;                                    // protected by Mutex
  std::thread Worker;                                       // owned: joined by the destructor
};

} // namespace zol
