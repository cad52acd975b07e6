// zolctl's records in the set-up journal (journal/).
#include "tools/ZolctlJournal.h"

#include <vector>

#include "journal/Journal.h"
#include "protocol/Utils.h"
#include "tools/ZolctlSession.h"

#ifndef ZOLCTL_VERSION
#define ZOLCTL_VERSION "unknown"
#endif

namespace zol {

namespace {

std::optional<TJournalOperation> OperationOf(TZolctlCommand Command) {
  switch (Command) {
  case TZolctlCommand::WriteTag:
    return TJournalOperation::WriteTag;
  case TZolctlCommand::WriteFilter:
    return TJournalOperation::WriteFilter;
  case TZolctlCommand::WriteAlarm:
    return TJournalOperation::WriteAlarm;
  case TZolctlCommand::Load:
    return TJournalOperation::Load;
  case TZolctlCommand::ChangePassword:
    return TJournalOperation::ChangePassword;
  case TZolctlCommand::AdjustZero:
    return TJournalOperation::AdjustZero;
  case TZolctlCommand::AdjustFullScale:
    return TJournalOperation::AdjustFullScale;
  case TZolctlCommand::ResetAll:
    return TJournalOperation::ResetAll;
  default:
    return std::nullopt;
  }
}

TJournalVerdict VerdictOf(const TWork &Work) {
  if (Work.Interrupted)
    return TJournalVerdict::Interrupted;
  if (Work.Status == ZolctlExit::Done)
    return TJournalVerdict::Held;
  return Work.Differs ? TJournalVerdict::Differs : TJournalVerdict::Failed;
}

TJson SettingsJson(const std::optional<TZOLSettings> &Settings) {
  if (!Settings)
    return nullptr;
  TJson o = TJson::object();
  std::string unused;
  SettingsOut(*Settings, o, unused);
  return o;
}

TJson RecordJson(const TJournalRecord &R) {
  TJson o = TJson::object();
  o["id"] = R.Id;
  o["time"] = JsonText(R.Time);
  o["serialNumber"] = JsonText(R.SerialNumber);
  o["manufacturer"] = JsonText(R.Manufacturer);
  o["product"] = JsonText(R.Product);
  o["firmware"] = JsonText(R.Firmware);
  o["program"] = JsonText(R.Program);
  o["programVersion"] = JsonText(R.ProgramVersion);
  o["userName"] = JsonText(R.UserName);
  o["hostName"] = JsonText(R.HostName);
  o["operation"] = JournalOperationName(R.Operation);
  o["verdict"] = JournalVerdictName(R.Verdict);
  o["message"] = JsonText(R.Message);
  o["parameterFile"] = JsonText(R.ParameterFile);
  o["before"] = SettingsJson(R.Before);
  o["after"] = SettingsJson(R.After);
  return o;
}

/// One line, and a second for the file and the message when there are any.
std::string RecordText(const TJournalRecord &R, bool WithSerial) {
  std::string text = Printable(R.Time) + "  " +
                     (WithSerial ? Printable(R.SerialNumber) + "  " : std::string()) +
                     JournalOperationName(R.Operation) + "  " + JournalVerdictName(R.Verdict) +
                     "  " + Printable(R.UserName) + "@" + Printable(R.HostName) + "  " +
                     Printable(R.Program) + " " + Printable(R.ProgramVersion) + "\n";
  if (!R.ParameterFile.empty() || !R.Message.empty()) {
    text += "    ";
    if (!R.ParameterFile.empty())
      text += "file " + Printable(R.ParameterFile) + (R.Message.empty() ? "" : "; ");
    text += Printable(R.Message) + "\n";
  }
  return text;
}

const char *const kCsvSettings[] = {"tag",
                                    "filter",
                                    "alarm1.setPoint",
                                    "alarm1.hysteresis",
                                    "alarm1.delay",
                                    "alarm1.contactNC",
                                    "alarm1.failClosed",
                                    "alarm1.ledBelow",
                                    "alarm2.setPoint",
                                    "alarm2.hysteresis",
                                    "alarm2.delay",
                                    "alarm2.contactNC",
                                    "alarm2.failClosed",
                                    "alarm2.ledBelow"};

std::string CsvHeader() {
  std::string line = "id,time,serialNumber,manufacturer,product,firmware,program,programVersion,"
                     "userName,hostName,operation,verdict,message,parameterFile";
  for (const char *when : {"before.", "after."})
    for (const char *name : kCsvSettings)
      line += std::string(",") + when + name;
  return line + "\n";
}

std::string CsvSettings(const std::optional<TZOLSettings> &S) {
  if (!S)
    return std::string(std::size(kCsvSettings), ',');
  std::string line = "," + CsvField(S->Tag.Get()) + "," + Fixed(S->Filter, 2);
  for (const TZOLAlarm *a : {&S->Alarm1, &S->Alarm2})
    line += "," + Fixed(a->SetPoint) + "," + Fixed(a->Hysteresis) + "," + Fixed(a->Delay) + "," +
            (a->ContactNC ? "1" : "0") + "," + (a->FailClosed ? "1" : "0") + "," +
            (a->LedBelow ? "1" : "0");
  return line;
}

std::string RecordCsv(const TJournalRecord &R) {
  std::string line = std::to_string(R.Id);
  for (const std::string *text :
       {&R.Time, &R.SerialNumber, &R.Manufacturer, &R.Product, &R.Firmware, &R.Program,
        &R.ProgramVersion, &R.UserName, &R.HostName})
    line += "," + CsvField(*text);
  line += std::string(",") + JournalOperationName(R.Operation) + "," +
          JournalVerdictName(R.Verdict) + "," + CsvField(R.Message) + "," +
          CsvField(R.ParameterFile);
  return line + CsvSettings(R.Before) + CsvSettings(R.After) + "\n";
}

std::string HtmlRow(const TJournalRecord &R) {
  std::string row = "<tr>";
  for (const std::string &cell :
       {R.Time, std::string(JournalOperationName(R.Operation)),
        std::string(JournalVerdictName(R.Verdict)), R.UserName + "@" + R.HostName,
        R.Program + " " + R.ProgramVersion, R.ParameterFile, R.Message})
    row += "<td>" + HtmlText(cell) + "</td>";
  return row + "</tr>\n";
}

void Say(std::ostream &Err, const std::string &Message) {
  Err << "zolctl: " << Message << '\n' << std::flush;
}

} // namespace

std::string RecordWork(const TWork &Work) {
  const std::optional<TJournalOperation> operation = OperationOf(Work.Command);
  if (!operation)
    return {};
  TJournalRecord r;
  r.SerialNumber = Work.Identity.SerialNumber;
  r.Manufacturer = Work.Identity.Manufacturer;
  r.Product = Work.Identity.Product;
  r.Firmware = Work.Identity.InfoText;
  r.Program = "zolctl";
  r.ProgramVersion = ZOLCTL_VERSION;
  r.Operation = *operation;
  r.Before = Work.Before;
  r.After = Work.After;
  r.Verdict = VerdictOf(Work);
  r.Message = Work.Message;
  r.ParameterFile = Work.ParameterFile;
  try {
    TJournal::Open(DefaultJournalPath(), TJournal::TOpen::Write)->Record(std::move(r));
  } catch (const std::exception &e) {
    return e.what();
  }
  return {};
}

int RunJournal(const TZolctlOptions &Options, std::ostream &Out, std::ostream &Err) {
  const std::string path = DefaultJournalPath();
  if (Options.Verify) {
    const TJournalCheck check = VerifyJournalAt(path);
    TJson o = TJson::object();
    o["journal"] = JsonText(path);
    o["sound"] = check.Sound;
    o["message"] = JsonText(check.Message);
    try {
      Emit(Out, Options.Json ? JsonDump(o) : Printable(check.Message) + "\n");
    } catch (const EOutputFailed &) {
      Say(Err, "standard output could not be written");
      return ZolctlExit::OutputFailed;
    }
    return check.Sound ? ZolctlExit::Done : ZolctlExit::FileRefused;
  }
  std::vector<TJournalRecord> records;
  try {
    TJournalQuery q;
    q.SerialNumber = Options.JournalSerial;
    q.Since = Options.Since;
    q.Until = Options.Until;
    records = TJournal::Open(path, TJournal::TOpen::Read)->Query(q);
  } catch (const EJournal &e) {
    if (e.Kind != EJournal::TKind::Missing) {
      Say(Err, Printable(e.what()));
      return ZolctlExit::FileRefused;
    }
    Say(Err, Printable(e.what())); // nothing recorded yet: an empty list
  }
  std::string text;
  if (Options.Json) {
    TJson list = TJson::array();
    for (const TJournalRecord &r : records)
      list.push_back(RecordJson(r));
    TJson o = TJson::object();
    o["journal"] = JsonText(path);
    o["records"] = std::move(list);
    text = JsonDump(o);
  } else if (Options.Csv) {
    text = CsvHeader();
    for (const TJournalRecord &r : records)
      text += RecordCsv(r);
  } else {
    for (const TJournalRecord &r : records)
      text += RecordText(r, true);
  }
  try {
    Emit(Out, text);
  } catch (const EOutputFailed &) {
    Say(Err, "standard output could not be written");
    return ZolctlExit::OutputFailed;
  }
  return ZolctlExit::Done;
}

TSheetRecords SheetRecords(const std::string &SerialNumber, std::size_t Count) {
  TSheetRecords sheet;
  std::vector<TJournalRecord> records;
  try {
    TJournalQuery q;
    q.SerialNumber = SerialNumber;
    q.Limit = Count;
    records = TJournal::Open(DefaultJournalPath(), TJournal::TOpen::Read)->Query(q);
  } catch (const EJournal &e) {
    if (e.Kind != EJournal::TKind::Missing)
      sheet.Problem = e.what();
  }
  for (const TJournalRecord &r : records) {
    sheet.Json.push_back(RecordJson(r));
    sheet.Text += "  " + RecordText(r, false);
    sheet.Html += HtmlRow(r);
  }
  return sheet;
}

} // namespace zol
