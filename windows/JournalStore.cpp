// The windows' records in the set-up journal (journal/).
#include "windows/JournalStore.h"

#include <algorithm>

namespace zol {

bool JournalKept() {
  return true;
}

std::string JournalLocation() {
  return DefaultJournalPath();
}

std::string StoreJournalRecord(const std::string &Path, TJournalRecord Record) {
  if (Path.empty())
    return "the system names no folder for the journal";
  try {
    TJournal::Open(Path, TJournal::TOpen::Write)->Record(std::move(Record));
  } catch (const std::exception &Error) {
    return Error.what();
  }
  return {};
}

TJournalListing ListJournal(const std::string &Path, const std::string &SerialNumber,
                            std::size_t Limit) {
  TJournalListing Listing;
  if (Path.empty()) {
    Listing.Problem = "the system names no folder for the journal";
    return Listing;
  }
  try {
    TJournalQuery Query;
    Query.SerialNumber = SerialNumber;
    Query.Limit = Limit;
    Listing.Records = TJournal::Open(Path, TJournal::TOpen::Read)->Query(Query);
    std::reverse(Listing.Records.begin(), Listing.Records.end());
  } catch (const EJournal &Error) {
    if (Error.Kind != EJournal::TKind::Missing)
      Listing.Problem = Error.what();
  } catch (const std::exception &Error) {
    Listing.Problem = Error.what();
  }
  return Listing;
}

std::string StoredOperationName(TJournalOperation Operation) {
  return JournalOperationName(Operation);
}

std::string StoredVerdictName(TJournalVerdict Verdict) {
  return JournalVerdictName(Verdict);
}

} // namespace zol
