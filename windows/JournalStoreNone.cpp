// A build without SQLite (the Windows cross build) keeps no journal: the windows record nothing
// and the window "Journal" says so.
#include "windows/JournalStore.h"

namespace zol {

namespace {
constexpr const char *kNoJournal = "this build keeps no journal";
} // namespace

bool JournalKept() {
  return false;
}

std::string JournalLocation() {
  return {};
}

std::string StoreJournalRecord(const std::string &, TJournalRecord) {
  return kNoJournal;
}

TJournalListing ListJournal(const std::string &, const std::string &, std::size_t) {
  TJournalListing Listing;
  Listing.Problem = kNoJournal;
  return Listing;
}

std::string StoredOperationName(TJournalOperation) {
  return {};
}

std::string StoredVerdictName(TJournalVerdict) {
  return {};
}

} // namespace zol
