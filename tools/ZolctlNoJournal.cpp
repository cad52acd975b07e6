// A build without SQLite (the Windows cross build) keeps no journal.
#include "tools/ZolctlJournal.h"

#include "tools/ZolctlSession.h"

namespace zol {

namespace {
constexpr const char *kNoJournal = "this build keeps no journal";
} // namespace

std::string RecordWork(const TWork &) {
  return {};
}

int RunJournal(const TZolctlOptions &, std::ostream &, std::ostream &Err) {
  Err << "zolctl: " << kNoJournal << '\n' << std::flush;
  return ZolctlExit::FileRefused;
}

TSheetRecords SheetRecords(const std::string &, std::size_t) {
  TSheetRecords r;
  r.Problem = kNoJournal;
  return r;
}

} // namespace zol
