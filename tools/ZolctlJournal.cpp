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
  std::string Unused;
  SettingsOut(*Settings, o, Unused);
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
  std::string Text = Printable(R.Time) + "  " +
                     (WithSerial ? Printable(R.SerialNumber) + "  " : std::string()) +
                     JournalOperationName(R.Operation) + "  " + JournalVerdictName(R.Verdict) +
                     "  " + Printable(R.UserName) + "@" + Printable(R.HostName) + "  " +
                     Printable(R.Program) + " " + Printable(R.ProgramVersion) + "\n";
  if (!R.ParameterFile.empty() || !R.Message.empty()) {
    Text += "    ";
    if (!R.ParameterFile.empty())
      Text += "file " + Printable(R.ParameterFile) + (R.Message.empty() ? "" : "; ");
    Text += Printable(R.Message) + "\n";
  }
  return Text;
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
  std::string Line = "id,time,serialNumber,manufacturer,product,firmware,program,programVersion,"
                     "userName,hostName,operation,verdict,message,parameterFile";
  for (const char *When : {"before.", "after."})
    for (const char *Name : kCsvSettings)
      Line += std::string(",") + When + Name;
  return Line + "\n";
}

std::string CsvSettings(const std::optional<TZOLSettings> &S) {
  if (!S)
    return std::string(std::size(kCsvSettings), ',');
  std::string Line = "," + CsvField(S->Tag.Get()) + "," + Fixed(S->Filter, 2);
  for (const TZOLAlarm *a : {&S->Alarm1, &S->Alarm2})
    Line += "," + Fixed(a->SetPoint) + "," + Fixed(a->Hysteresis) + "," + Fixed(a->Delay) + "," +
            (a->ContactNC ? "1" : "0") + "," + (a->FailClosed ? "1" : "0") + "," +
            (a->LedBelow ? "1" : "0");
  return Line;
}

std::string RecordCsv(const TJournalRecord &R) {
  std::string Line = std::to_string(R.Id);
  for (const std::string *Text :
       {&R.Time, &R.SerialNumber, &R.Manufacturer, &R.Product, &R.Firmware, &R.Program,
        &R.ProgramVersion, &R.UserName, &R.HostName})
    Line += "," + CsvField(*Text);
  Line += std::string(",") + JournalOperationName(R.Operation) + "," +
          JournalVerdictName(R.Verdict) + "," + CsvField(R.Message) + "," +
          CsvField(R.ParameterFile);
  return Line + CsvSettings(R.Before) + CsvSettings(R.After) + "\n";
}

std::string HtmlRow(const TJournalRecord &R) {
  std::string Row = "<tr>";
  for (const std::string &Cell :
       {R.Time, std::string(JournalOperationName(R.Operation)),
        std::string(JournalVerdictName(R.Verdict)), R.UserName + "@" + R.HostName,
        R.Program + " " + R.ProgramVersion, R.ParameterFile, R.Message})
    Row += "<td>" + HtmlText(Cell) + "</td>";
  return Row + "</tr>\n";
}

void Say(std::ostream &Err, const std::string &Message) {
  Err << "zolctl: " << Message << '\n' << std::flush;
}

} // namespace

std::string RecordWork(const TWork &Work) {
  const std::optional<TJournalOperation> Operation = OperationOf(Work.Command);
  if (!Operation)
    return {};
  TJournalRecord r;
  r.SerialNumber = Work.Identity.SerialNumber;
  r.Manufacturer = Work.Identity.Manufacturer;
  r.Product = Work.Identity.Product;
  r.Firmware = Work.Identity.InfoText;
  r.Program = "zolctl";
  r.ProgramVersion = ZOLCTL_VERSION;
  r.Operation = *Operation;
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
  const std::string Path = DefaultJournalPath();
  if (Options.Verify) {
    const TJournalCheck Check = VerifyJournalAt(Path);
    TJson o = TJson::object();
    o["journal"] = JsonText(Path);
    o["sound"] = Check.Sound;
    o["message"] = JsonText(Check.Message);
    try {
      Emit(Out, Options.Json ? JsonDump(o) : Printable(Check.Message) + "\n");
    } catch (const EOutputFailed &) {
      Say(Err, "standard output could not be written");
      return ZolctlExit::OutputFailed;
    }
    return Check.Sound ? ZolctlExit::Done : ZolctlExit::FileRefused;
  }
  std::vector<TJournalRecord> Records;
  try {
    TJournalQuery q;
    q.SerialNumber = Options.JournalSerial;
    q.Since = Options.Since;
    q.Until = Options.Until;
    Records = TJournal::Open(Path, TJournal::TOpen::Read)->Query(q);
  } catch (const EJournal &e) {
    if (e.Kind != EJournal::TKind::Missing) {
      Say(Err, Printable(e.what()));
      return ZolctlExit::FileRefused;
    }
    Say(Err, Printable(e.what())); // nothing recorded yet: an empty list
  }
  std::string Text;
  if (Options.Json) {
    TJson List = TJson::array();
    for (const TJournalRecord &r : Records)
      List.push_back(RecordJson(r));
    TJson o = TJson::object();
    o["journal"] = JsonText(Path);
    o["records"] = std::move(List);
    Text = JsonDump(o);
  } else if (Options.Csv) {
    Text = CsvHeader();
    for (const TJournalRecord &r : Records)
      Text += RecordCsv(r);
  } else {
    for (const TJournalRecord &r : Records)
      Text += RecordText(r, true);
  }
  try {
    Emit(Out, Text);
  } catch (const EOutputFailed &) {
    Say(Err, "standard output could not be written");
    return ZolctlExit::OutputFailed;
  }
  return ZolctlExit::Done;
}

TSheetRecords SheetRecords(const std::string &SerialNumber, std::size_t Count) {
  TSheetRecords Sheet;
  std::vector<TJournalRecord> Records;
  try {
    TJournalQuery q;
    q.SerialNumber = SerialNumber;
    q.Limit = Count;
    Records = TJournal::Open(DefaultJournalPath(), TJournal::TOpen::Read)->Query(q);
  } catch (const EJournal &e) {
    if (e.Kind != EJournal::TKind::Missing)
      Sheet.Problem = e.what();
  }
  for (const TJournalRecord &r : Records) {
    Sheet.Json.push_back(RecordJson(r));
    Sheet.Text += "  " + RecordText(r, false);
    Sheet.Html += HtmlRow(r);
  }
  return Sheet;
}

} // namespace zol
