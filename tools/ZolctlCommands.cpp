#include "tools/ZolctlCommands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "protocol/AccessHint.h"
#include "protocol/Codec.h"
#include "protocol/LocalTime.h"
#include "protocol/ParamFile.h"
#include "protocol/StateCsv.h"
#include "protocol/Utils.h"
#include "tools/ZolctlJournal.h"
#include "tools/ZolctlWords.h"

namespace zol {

namespace {

using Clock = std::chrono::steady_clock;

/// The tag as the instrument keeps it: 16 characters, its two halves as the instrument decodes
/// the frames that carry them.
std::string AsKept(const std::string &Tag) {
  return DecodeCommand(EncodeTagHalf(TCommand::SendTag1, Tag).data()).Text +
         DecodeCommand(EncodeTagHalf(TCommand::SendTag2, Tag).data()).Text;
}

/// Letters in upper case, as the window forces them while the tag is typed. Only A to Z have an
/// upper case the instrument keeps; any other byte stays as it is.
std::string Upper(std::string Text) {
  for (char &c : Text)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return Text;
}

/// A device date as ISO 8601 ("2026-12-08").
std::string IsoDate(std::uint16_t OpDate) {
  int Day = 0, Month = 0, Year = 0;
  DecodeDeviceDate(OpDate, Day, Month, Year);
  char Text[16];
  std::snprintf(Text, sizeof Text, "%04d-%02d-%02d", Year, Month, Day);
  return Text;
}

/// A device time as ISO 8601, to the minute the instrument keeps ("05:03").
std::string IsoTime(std::uint16_t OpTime) {
  int Hour = 0, Minute = 0;
  DecodeDeviceTime(OpTime, Hour, Minute);
  char Text[16];
  std::snprintf(Text, sizeof Text, "%02d:%02d", Hour, Minute);
  return Text;
}

/// The same alarm as far as the instrument can tell: the same frame carries both.
bool SameAlarm(const TZOLAlarm &a, const TZOLAlarm &b) {
  return EncodeAlarm(TCommand::SendAlarm1, a) == EncodeAlarm(TCommand::SendAlarm1, b);
}

TResult List(TSession &S) {
  TResult r;
  TCustomZOL &Zol = S.Zol();
  const int Count = Zol.Scan();
  TJson Found = TJson::array();
  for (int i = 0; i < Count; ++i) {
    std::string Path, Manufacturer, Product, Serial;
    Zol.Device->DevicePath(i, Path);
    Zol.Device->Manufacturer(i + 1, Manufacturer);
    Zol.Device->Product(i + 1, Product);
    Zol.Device->SerialNumber(i + 1, Serial);
    TJson o = TJson::object();
    o["index"] = i;
    o["path"] = JsonText(Path);
    o["manufacturer"] = JsonText(Manufacturer);
    o["product"] = JsonText(Product);
    o["serialNumber"] = JsonText(Serial);
    Found.push_back(std::move(o));
    r.Text += std::to_string(i) + "  " + Printable(Path) + "  " + Printable(Manufacturer) + "  " +
              Printable(Product) + "  " + Printable(Serial) + "\n";
  }
  // Instruments the system lists but will not let us open: say why, and how to mend it.
  TJson Closed = TJson::array();
  const std::string Fix = AccessHint().English;
  for (const TUnopenable &Instrument :
       UnopenableInstruments(S.Platform(), Zol.Device->Vid, Zol.Device->Pid)) {
    const std::string &Path = Instrument.Path;
    const std::string &Reason = Instrument.Reason;
    TJson o = TJson::object();
    o["path"] = JsonText(Path);
    o["reason"] = JsonText(Reason);
    o["fix"] = Fix;
    Closed.push_back(std::move(o));
    r.Text +=
        "cannot open " + Printable(Path) + ": " + Printable(Reason) + "\n  fix: " + Fix + "\n";
  }
  if (Count == 0 && Closed.empty())
    r.Text += "no instrument found\n";
  r.Json["instruments"] = std::move(Found);
  r.Json["unopened"] = std::move(Closed);
  if (Count == 0)
    r.Status = ZolctlExit::NoInstrument;
  return r;
}

TResult State(TSession &S) {
  TResult r;
  StateOut(S.Connect(S.Options.Serial, S.Options.Device), r.Json, r.Text);
  return r;
}

TResult Read(TSession &S) {
  S.Connect(S.Options.Serial, S.Options.Device);
  TResult r;
  S.Flush();
  S.Zol().ReadAll();
  SettingsOut(S.Expect("the end of the read-all chain", TEvent::ReadAll).Snapshot.Settings, r.Json,
              r.Text);
  return r;
}

TResult WriteTag(TSession &S) {
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  S.Flush();
  S.Zol().WriteTag(S.Options.Text);
  const std::string Held = S.ExpectAfterAnswer("the tag read back after writing",
                                               CodeOf(TCommand::SendTag2), TEvent::Tag)
                               .Snapshot.Settings.Tag.Get();
  if (Held != AsKept(S.Options.Text)) {
    S.Differs = true;
    throw TExit{ZolctlExit::Refused, "The instrument did not keep the tag"};
  }
  TResult r;
  r.Json["tag"] = JsonText(Held);
  r.Text = "tag: \"" + Printable(Held) + "\"\n";
  return r;
}

TResult WriteFilter(TSession &S) {
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  S.Flush();
  S.Zol().WriteFilter(S.Options.Value);
  const float Held = S.ExpectAfterAnswer("the filter read back after writing",
                                         CodeOf(TCommand::SendFilter), TEvent::Filter)
                         .Snapshot.Settings.Filter;
  if (Held != S.Options.Value) {
    S.Differs = true;
    throw TExit{ZolctlExit::Refused, "The instrument did not keep the filter"};
  }
  TResult r;
  r.Json["filter"] = JsonNumber(Held, 2);
  r.Text = "filter: " + Fixed(Held, 2) + " s\n";
  return r;
}

TResult WriteAlarm(TSession &S) {
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  const TAlarmChange &c = S.Options.Alarm;
  const bool First = c.Number == 1;
  const TEvent Kind = First ? TEvent::Alarm1 : TEvent::Alarm2;
  S.Flush();
  First ? S.Zol().ReadAlarm1() : S.Zol().ReadAlarm2();
  const TZOLSettings Current =
      S.ExpectAfterAnswer("the alarm read before writing",
                          CodeOf(First ? TCommand::ReadAlarm1 : TCommand::ReadAlarm2), Kind)
          .Snapshot.Settings;
  TZOLAlarm Alarm = First ? Current.Alarm1 : Current.Alarm2;
  if (c.SetPoint)
    Alarm.SetPoint = *c.SetPoint;
  if (c.Hysteresis)
    Alarm.Hysteresis = *c.Hysteresis;
  if (c.Delay)
    Alarm.Delay = *c.Delay;
  if (c.ContactNC)
    Alarm.ContactNC = *c.ContactNC;
  if (c.FailClosed)
    Alarm.FailClosed = *c.FailClosed;
  if (c.LedBelow)
    Alarm.LedBelow = *c.LedBelow;
  S.Flush();
  First ? S.Zol().WriteAlarm1(Alarm) : S.Zol().WriteAlarm2(Alarm);
  const TZOLSettings Held =
      S.ExpectAfterAnswer("the alarm read back after writing",
                          CodeOf(First ? TCommand::SendAlarm1 : TCommand::SendAlarm2), Kind)
          .Snapshot.Settings;
  const TZOLAlarm &Back = First ? Held.Alarm1 : Held.Alarm2;
  if (!SameAlarm(Back, Alarm)) {
    S.Differs = true;
    throw TExit{ZolctlExit::Refused,
                "The instrument did not keep the settings of alarm " + std::to_string(c.Number)};
  }
  TResult r;
  r.Json["alarm" + std::to_string(c.Number)] = AlarmJson(Back);
  r.Text = AlarmLines(c.Number, Back);
  return r;
}

/// What Path is when it exists and is not a regular file (after symlinks), else empty.
std::string NotRegular(const std::string &Path) {
  std::error_code Error;
  const auto Status = std::filesystem::status(Path, Error);
  if (Error || !std::filesystem::exists(Status) || std::filesystem::is_regular_file(Status))
    return {};
  if (std::filesystem::is_directory(Status))
    return "a folder";
  if (std::filesystem::is_fifo(Status))
    return "a FIFO";
  if (std::filesystem::is_character_file(Status) || std::filesystem::is_block_file(Status))
    return "a device";
  return "not a regular file";
}

TResult Save(TSession &S) {
  // Refused before anything is read; the save itself refuses it again, atomically.
  if (const std::string What = NotRegular(S.Options.Text); !What.empty())
    throw TExit{ZolctlExit::FileRefused, Printable(S.Options.Text) + " is " + What +
                                             ", not a regular file: nothing was written"};
  S.Connect(S.Options.Serial, S.Options.Device);
  S.Flush();
  S.Zol().ReadAll();
  S.Expect("the end of the read-all chain", TEvent::ReadAll);
  const TParamFileResult f = S.Zol().SaveParameters(S.Options.Text);
  if (!f.Ok)
    throw TExit{ZolctlExit::FileRefused, Worded(f.Error)};
  TResult r;
  r.Json["saved"] = JsonText(S.Options.Text);
  r.Text = "saved " + Printable(S.Options.Text) + "\n";
  return r;
}

/// A value the instrument holds that differs from the file.
struct TDifference {
  std::string Field, File, Held, Why; // Why: the conversion that explains it, empty when none
};

void Compare(const std::string &Field, double File, double Held, int Decimals, bool Explained,
             const char *Why, std::vector<TDifference> &Out) {
  if (File == Held)
    return;
  Out.push_back({Field, Fixed(File, Decimals + 2), Fixed(Held, Decimals),
                 Explained ? std::string(Why) : std::string()});
}

void CompareAlarm(const std::string &Name, const TZOLAlarm &File, const TZOLAlarm &Held,
                  std::vector<TDifference> &Out) {
  const auto Tenths = [](float v) { return ToTenths16(v); };
  Compare(Name + ".setPoint", File.SetPoint, Held.SetPoint, 1,
          Tenths(File.SetPoint) == Tenths(Held.SetPoint), "the instrument keeps tenths", Out);
  Compare(Name + ".hysteresis", File.Hysteresis, Held.Hysteresis, 1,
          Tenths(File.Hysteresis) == Tenths(Held.Hysteresis), "the instrument keeps tenths", Out);
  Compare(Name + ".delay", File.Delay, Held.Delay, 1,
          DelayToTenths8(File.Delay) == DelayToTenths8(Held.Delay),
          "the instrument keeps 0 to 25.5 s in tenths", Out);
  const auto Flag = [&](const char *Field, std::uint8_t F, std::uint8_t H) {
    if ((F != 0) != (H != 0))
      Out.push_back({Name + "." + Field, F ? "true" : "false", H ? "true" : "false", ""});
  };
  Flag("contactNC", File.ContactNC, Held.ContactNC);
  Flag("failClosed", File.FailClosed, Held.FailClosed);
  Flag("ledBelow", File.LedBelow, Held.LedBelow);
}

TResult Load(TSession &S) {
  // The copy read and checked is the one sent: the file is not read again.
  const TZOLSettings Wanted = ReadFileOrExit(S.Options.Text, true);
  TZOLSettings Sent = Wanted;
  Sent.Tag.Set(Upper(Wanted.Tag.Get()));
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  S.Zol().UseSettings(Sent);
  S.Flush();
  S.Zol().WriteAll();
  S.Expect("the end of the write-all chain", TEvent::WriteAll);
  // Read everything back: the instrument must now hold the file's settings.
  S.Flush();
  S.Zol().ReadAll();
  const TZOLSettings Held =
      S.Expect("the read-back after writing", TEvent::ReadAll).Snapshot.Settings;

  std::vector<TDifference> Differences;
  const std::string FileTag = Wanted.Tag.Get();
  if (Held.Tag.Get() != FileTag)
    Differences.push_back({"tag", FileTag, Held.Tag.Get(),
                           Held.Tag.Get() == AsKept(Upper(FileTag))
                               ? "the instrument keeps 16 characters, letters in upper case"
                               : ""});
  if (std::memcmp(&Held.Filter, &Wanted.Filter, sizeof(float)) != 0)
    Compare("filter", Wanted.Filter, Held.Filter, 2, false, "", Differences);
  CompareAlarm("alarm1", Wanted.Alarm1, Held.Alarm1, Differences);
  CompareAlarm("alarm2", Wanted.Alarm2, Held.Alarm2, Differences);

  TResult r;
  r.Text = "sent " + Printable(S.Options.Text) + "\n";
  SettingsOut(Held, r.Json, r.Text);
  TJson List = TJson::array();
  std::string Unkept;
  for (const TDifference &d : Differences) {
    TJson o = TJson::object();
    o["field"] = d.Field;
    o["file"] = JsonText(d.File);
    o["instrument"] = JsonText(d.Held);
    o["explained"] = !d.Why.empty();
    if (!d.Why.empty())
      o["why"] = d.Why;
    List.push_back(std::move(o));
    r.Text += std::string(d.Why.empty() ? "NOT KEPT" : "warning") + ": " + d.Field +
              ": the file holds \"" + Printable(d.File) + "\", the instrument \"" +
              Printable(d.Held) + "\"" + (d.Why.empty() ? "" : " (" + d.Why + ")") + "\n";
    if (d.Why.empty())
      Unkept += (Unkept.empty() ? "" : ", ") + d.Field;
  }
  r.Json["differences"] = std::move(List);
  if (!Unkept.empty()) {
    S.Differs = true;
    r.Status = ZolctlExit::Refused;
    r.Message = "The instrument did not keep these settings of " + Printable(S.Options.Text) +
                ": " + Unkept;
  }
  return r;
}

TResult Unlock(TSession &S) {
  // No password at connection: this command gives it.
  const TZOLModel State = [&] {
    const auto Saved = S.Password;
    S.Password.reset();
    const TZOLModel m = S.Connect(S.Options.Serial, S.Options.Device);
    S.Password = Saved;
    return m;
  }();
  if (State.WriteLocked && (!S.Password || !S.UnlockWith(*S.Password)))
    throw TExit{ZolctlExit::Refused, "Wrong password: the instrument stays write-locked"};
  TResult r;
  r.Json["writeLocked"] = false;
  r.Text = "unlocked\n";
  return r;
}

TResult ChangePassword(TSession &S) {
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  S.Flush();
  S.Zol().ChangePassword(S.Options.Text);
  S.ExpectAfterAnswer("the answer to the password change", CodeOf(TCommand::ChangePassword),
                      TEvent::State);
  TResult r;
  r.Json["passwordChanged"] = true;
  r.Text = "password changed\n";
  return r;
}

TResult LostPassword(TSession &S) {
  S.Connect(S.Options.Serial, S.Options.Device);
  S.Flush();
  S.Zol().ReadCryptedPassword();
  const TZOLModel m = S.Expect("the crypted password", TEvent::Crypted).Snapshot;
  // Shown as the password dialog shows it: last byte first.
  TBlockBytes Reversed{};
  std::reverse_copy(m.CryptedPassword.begin(), m.CryptedPassword.end(), Reversed.begin());
  TResult r;
  r.Json["cryptedPassword"] = HexBytes(Reversed.data(), Reversed.size());
  r.Json["serialNumber"] = JsonText(m.SerialNumber);
  r.Text = "crypted password: " + HexBytes(Reversed.data(), Reversed.size()) +
           "\nserial number: " + Printable(m.SerialNumber) + "\nGive both to the maker.\n";
  return r;
}

TResult History(TSession &S) {
  S.Connect(S.Options.Serial, S.Options.Device);
  TResult r;
  TJson Rows = TJson::array();
  S.Flush();
  S.Zol().ReadHistory();
  for (int Index = 0; Index < 8; ++Index) {
    // The records come one per answer, in order; each wait ends when its record arrives.
    // A record that did not come ends the chain with a message naming it.
    const TWROP w = S.Expect("history record " + std::to_string(Index), [](const TEventRecord &e) {
                       if (e.Kind == TEvent::ChainError)
                         throw TExit{ZolctlExit::NoInstrument, e.Message};
                       return e.Kind == TEvent::WROP;
                     }).Record;
    const bool Empty = WROPSlot(w.SlotMask) < 0;
    TJson o = TJson::object();
    o["index"] = Index;
    o["slotMask"] = w.SlotMask;
    o["empty"] = Empty;
    if (!Empty) {
      o["opCode"] = w.OpCode;
      o["operation"] = JsonText(WROPOperationName(w.OpCode));
      o["date"] = IsoDate(w.OpDate);
      o["time"] = IsoTime(w.OpTime);
    }
    Rows.push_back(std::move(o));
    r.Text += std::to_string(Index) + "  " + HexByte(w.SlotMask) + "  " +
              (Empty ? std::string("(empty)")
                     : Printable(WROPOperationName(w.OpCode)) + "  " + WROPDateText(w.OpDate) +
                           "  " + WROPTimeText(w.OpTime)) +
              "\n";
  }
  r.Json["history"] = std::move(Rows);
  return r;
}

TResult Monitor(TSession &S) {
  const TZolctlOptions &o = S.Options;
  S.Connect(o.Serial, o.Device);
  if (o.Csv)
    Emit(S.Out, StateCsvHeader());
  long Lines = 0;
  std::optional<TZOLModel> Latest;
  const auto Interval = std::chrono::milliseconds(o.IntervalMs.value_or(0));
  auto Tick = Clock::now() + Interval;
  bool Connected = true;
  const auto Timeout = std::chrono::milliseconds(o.TimeoutMs);
  auto SilentSince = Clock::now();
  // The instrument's silence runs from its last state answer as it arrived, not as it was taken
  // from the queue: a reader of the output that stalls is no fault of the instrument's.
  const auto Heard = [&] { return std::max(SilentSince, S.LastStateArrival()); };
  // Unplugged, the link looks for the instrument by itself every kAbsentPause; told of
  // arrivals by the system, it looks at once when one comes.
  const bool Told = !o.ExitOnDisconnect && S.WatchArrivals();
  while (!o.Count || Lines < *o.Count) {
    // Unplugged, the wait has no end but an interruption: an hour at a time, or a look at the
    // system's news every 20 ms.
    const auto Deadline =
        !Connected ? Clock::now() + (Told ? std::chrono::milliseconds(20) : std::chrono::hours(1))
        : o.IntervalMs ? std::min(Tick, Heard() + Timeout)
                       : Heard() + Timeout;
    std::optional<TEventRecord> e = S.Next(Deadline);
    const auto Now = Clock::now();
    if (!Connected && Told)
      S.LookOnArrival();
    if (e && e->Kind == TEvent::Disconnect) {
      if (o.ExitOnDisconnect)
        throw TExit{ZolctlExit::NoInstrument, "The instrument was unplugged"};
      Emit(S.Err, "zolctl: the instrument was unplugged; waiting for it to come back\n");
      if (o.Verbose)
        Emit(S.Err, Told ? "zolctl: the system tells when it is plugged in again\n"
                         : "zolctl: the system tells nothing of arrivals: the link looks for "
                           "it every " +
                               std::to_string(kAbsentPause.count()) + " ms\n");
      Connected = false;
      Latest.reset();
      continue;
    }
    if (e && e->Kind == TEvent::Connect && !Connected) {
      Emit(S.Err, "zolctl: the instrument is back\n");
      Connected = true;
      SilentSince = Now;
      Tick = Now + Interval;
      continue;
    }
    if (e && e->Kind == TEvent::State) {
      SilentSince = Now;
      Latest = e->Snapshot;
      if (!o.IntervalMs) {
        Emit(S.Out, MonitorLine(*Latest, o.Json, o.Csv, std::chrono::system_clock::now()));
        ++Lines;
      }
      continue;
    }
    if (Connected && Now >= Heard() + Timeout)
      throw TExit{ZolctlExit::NoInstrument,
                  "No answer in time: a state answer did not come within " +
                      std::to_string(o.TimeoutMs) + " ms"};
    if (o.IntervalMs && Now >= Tick) {
      // One line per interval, the latest state; ticks missed while unplugged are skipped.
      if (Latest) {
        Emit(S.Out, MonitorLine(*Latest, o.Json, o.Csv, std::chrono::system_clock::now()));
        ++Lines;
      }
      while (Tick <= Now)
        Tick += Interval;
    }
  }
  return {};
}

TResult Ping(TSession &S) {
  S.Connect(S.Options.Serial, S.Options.Device);
  S.Flush();
  S.Zol().Ping();
  const TZOLModel m =
      S.ExpectAfterAnswer("the ping echo", CodeOf(TCommand::Ping), TEvent::State).Snapshot;
  TResult r;
  r.Json["pingError"] = m.PingError;
  r.Text = m.PingError ? "ping: the echo differs\n" : "ping: ok\n";
  if (m.PingError) {
    r.Status = ZolctlExit::NoInstrument;
    r.Message = "The instrument's ping echo differs from the pattern";
  }
  return r;
}

TResult Info(TSession &S) {
  S.Connect(S.Options.Serial, S.Options.Device);
  S.Flush();
  S.Zol().ReadInfo();
  const std::string Info = S.Expect("the information block", TEvent::Info).Snapshot.InfoText;
  const bool Programmed = FirmwareProgrammed(Info);
  TResult r;
  r.Json["info"] = JsonText(Info);
  r.Json["usbFirmwareProgrammed"] = Programmed;
  r.Text = "info: " + Printable(Info) +
           "\nUSB interface firmware: " + (Programmed ? "programmed" : "not programmed") + "\n";
  return r;
}

TResult MakerCommand(TSession &S, TCommand Code, void (TCustomZOL::*Operation)()) {
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  S.Flush();
  (S.Zol().*Operation)();
  S.Expect("the instrument's answer", [&](const TEventRecord &e) {
    return e.Kind == TEvent::Answer && e.Code == CodeOf(Code);
  });
  TResult r;
  r.Json["done"] = true;
  r.Text = "done\n";
  return r;
}

TResult AdjustZero(TSession &S) {
  return MakerCommand(S, TCommand::AdjustZero, &TCustomZOL::AdjustZero);
}
TResult AdjustFullScale(TSession &S) {
  return MakerCommand(S, TCommand::AdjustFullScale, &TCustomZOL::AdjustFullScale);
}
TResult ResetAll(TSession &S) {
  return MakerCommand(S, TCommand::ResetAll, &TCustomZOL::ResetAll);
}

/// How many of the journal's records of the instrument the sheet shows.
constexpr std::size_t kSheetRecords = 10;

/// The settings as rows of an HTML table.
std::string HtmlSettings(const TZOLSettings &S) {
  const auto Row = [](const std::string &Name, const std::string &Value) {
    return "<tr><th>" + HtmlText(Name) + "</th><td>" + HtmlText(Value) + "</td></tr>\n";
  };
  std::string Html =
      Row("tag", "\"" + S.Tag.Get() + "\"") + Row("filter", Fixed(S.Filter, 2) + " s");
  int Number = 1;
  for (const TZOLAlarm *a : {&S.Alarm1, &S.Alarm2}) {
    const std::string Name = "alarm " + std::to_string(Number++) + " ";
    Html += Row(Name + "set point", Fixed(a->SetPoint) + " C");
    Html += Row(Name + "hysteresis", Fixed(a->Hysteresis) + " C");
    Html += Row(Name + "delay", Fixed(a->Delay) + " s");
    Html += Row(Name + "contact", a->ContactNC ? "normally closed" : "normally open");
    Html += Row(Name + "on sensor failure", a->FailClosed ? "closed" : "open");
    Html += Row(Name + "LED lit", a->LedBelow ? "below the set point" : "above the set point");
  }
  return Html;
}

TResult Sheet(TSession &S) {
  const TZOLModel State = S.Connect(S.Options.Serial, S.Options.Device);
  S.Flush();
  S.Zol().ReadInfo();
  const std::string Info = S.Expect("the information block", TEvent::Info).Snapshot.InfoText;
  S.Flush();
  S.Zol().ReadAll();
  const TZOLSettings Settings =
      S.Expect("the end of the read-all chain", TEvent::ReadAll).Snapshot.Settings;
  const std::string Date = LocalIsoTime(std::chrono::system_clock::now());
  const bool Programmed = FirmwareProgrammed(Info);
  const TSheetRecords Journal = SheetRecords(State.SerialNumber, kSheetRecords);

  TResult r;
  r.Json["date"] = Date;
  r.Json["manufacturer"] = JsonText(State.Manufacturer);
  r.Json["product"] = JsonText(State.Product);
  r.Json["serialNumber"] = JsonText(State.SerialNumber);
  r.Json["info"] = JsonText(Info);
  r.Json["usbFirmwareProgrammed"] = Programmed;
  r.Json["writeLocked"] = State.WriteLocked;
  TJson SettingsJson = TJson::object();
  std::string SettingsText;
  SettingsOut(Settings, SettingsJson, SettingsText);
  r.Json["settings"] = std::move(SettingsJson);
  r.Json["journal"] = Journal.Json;
  if (!Journal.Problem.empty())
    r.Json["journalProblem"] = JsonText(Journal.Problem);

  const std::string Firmware = Programmed ? "programmed" : "not programmed";
  if (!S.Options.Html) {
    r.Text = "RW8 configuration sheet\ndate: " + Date +
             "\nmanufacturer: " + Printable(State.Manufacturer) +
             "\nproduct: " + Printable(State.Product) +
             "\nserial number: " + Printable(State.SerialNumber) + "\ninfo: " + Printable(Info) +
             "\nUSB interface firmware: " + Firmware +
             "\nwrite lock: " + (State.WriteLocked ? "locked" : "unlocked") + "\n" + SettingsText +
             "journal, the last " + std::to_string(kSheetRecords) +
             " records of this instrument:\n" +
             (!Journal.Problem.empty() ? "  " + Printable(Journal.Problem) + "\n"
              : Journal.Text.empty()   ? std::string("  none\n")
                                       : Journal.Text);
    return r;
  }
  const auto Row = [](const std::string &Name, const std::string &Value) {
    return "<tr><th>" + HtmlText(Name) + "</th><td>" + HtmlText(Value) + "</td></tr>\n";
  };
  r.Text = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>RW8 " +
           HtmlText(State.SerialNumber) +
           "</title>\n<style>table{border-collapse:collapse}th,td{border:1px solid #999;"
           "padding:2px 6px;text-align:left}</style>\n</head>\n<body>\n"
           "<h1>RW8 configuration sheet</h1>\n<table>\n" +
           Row("date", Date) + Row("manufacturer", State.Manufacturer) +
           Row("product", State.Product) + Row("serial number", State.SerialNumber) +
           Row("info", Info) + Row("USB interface firmware", Firmware) +
           Row("write lock", State.WriteLocked ? "locked" : "unlocked") +
           "</table>\n<h2>Settings</h2>\n<table>\n" + HtmlSettings(Settings) +
           "</table>\n<h2>Journal: the last " + std::to_string(kSheetRecords) +
           " records of this instrument</h2>\n";
  if (!Journal.Problem.empty())
    r.Text += "<p>" + HtmlText(Journal.Problem) + "</p>\n";
  else if (Journal.Html.empty())
    r.Text += "<p>none</p>\n";
  else
    r.Text += "<table>\n<tr><th>time</th><th>operation</th><th>verdict</th><th>user</th>"
              "<th>program</th><th>file</th><th>message</th></tr>\n" +
              Journal.Html + "</table>\n";
  r.Text += "</body>\n</html>\n";
  return r;
}

TResult NoSession(TSession &) {
  return {};
}

struct TCommandEntry {
  TZolctlCommand Command;
  TCommandFunction Function;
};

const TCommandEntry kCommandTable[] = {
    {TZolctlCommand::List, List},
    {TZolctlCommand::State, State},
    {TZolctlCommand::Read, Read},
    {TZolctlCommand::WriteTag, WriteTag},
    {TZolctlCommand::WriteFilter, WriteFilter},
    {TZolctlCommand::WriteAlarm, WriteAlarm},
    {TZolctlCommand::Save, Save},
    {TZolctlCommand::Load, Load},
    {TZolctlCommand::Show, NoSession},
    {TZolctlCommand::Unlock, Unlock},
    {TZolctlCommand::ChangePassword, ChangePassword},
    {TZolctlCommand::LostPassword, LostPassword},
    {TZolctlCommand::History, History},
    {TZolctlCommand::Monitor, Monitor},
    {TZolctlCommand::Ping, Ping},
    {TZolctlCommand::Info, Info},
    {TZolctlCommand::AdjustZero, AdjustZero},
    {TZolctlCommand::AdjustFullScale, AdjustFullScale},
    {TZolctlCommand::ResetAll, ResetAll},
    {TZolctlCommand::Journal, NoSession},
    {TZolctlCommand::Sheet, Sheet},
};

} // namespace

TCommandFunction CommandFunction(TZolctlCommand Command) {
  for (const TCommandEntry &e : kCommandTable)
    if (e.Command == Command)
      return e.Function;
  return NoSession;
}

std::string CheckSendable(const TZOLSettings &Settings) {
  const std::string Tag = Settings.Tag.Get();
  if (!IsPackable(Upper(Tag.substr(0, kDeviceTagLength))))
    return "the tag \"" + Printable(Tag) +
           "\" holds a character the instrument cannot keep, even in upper case (it keeps space, "
           "digits, A-Z and punctuation)";
  if (!FilterSendable(Settings.Filter))
    return "Filter " + Fixed(Settings.Filter, 2) +
           " s cannot be sent: the instrument does not carry it back";
  try {
    // The frames a write-all sends, built and dropped: the message names the alarm and value.
    EncodeAlarm(TCommand::SendAlarm1, Settings.Alarm1);
    EncodeAlarm(TCommand::SendAlarm2, Settings.Alarm2);
  } catch (const ERangeError &e) {
    return Worded(e.Error());
  }
  return {};
}

TZOLSettings ReadFileOrExit(const std::string &Path, bool ForSending) {
  // Within one run a file is read once: every instrument (--all) gets the copy first read and
  // checked, whatever becomes of the file meanwhile.
  static std::mutex Mutex;
  static std::map<std::string, TZOLSettings> Read;
  std::lock_guard<std::mutex> Lock(Mutex);
  auto Known = Read.find(Path);
  if (Known == Read.end()) {
    // A FIFO or a device would block the read, or never end it.
    if (const std::string What = NotRegular(Path); !What.empty())
      throw TExit{ZolctlExit::FileRefused,
                  Printable(Path) + " is " + What + ", not a parameter file"};
    TZOLSettings Settings;
    const TParamFileResult r = ReadParameterFile(Path, Settings);
    if (!r.Ok) {
      const std::string Message = Worded(r.Error);
      throw TExit{ZolctlExit::FileRefused,
                  r.Refused ? std::string(kFichierIncorrect) + "\n" + Message : Message};
    }
    Known = Read.emplace(Path, Settings).first;
  }
  if (std::string Problem = ForSending ? CheckSendable(Known->second) : ""; !Problem.empty())
    throw TExit{ZolctlExit::Usage, Printable(Path) + ": " + Problem + "; nothing was sent"};
  return Known->second;
}

TResult ShowFile(const std::string &Path) {
  TResult r;
  SettingsOut(ReadFileOrExit(Path, false), r.Json, r.Text);
  return r;
}

} // namespace zol
