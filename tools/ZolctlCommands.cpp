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
  int day = 0, month = 0, year = 0;
  DecodeDeviceDate(OpDate, day, month, year);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

/// A device time as ISO 8601, to the minute the instrument keeps ("05:03").
std::string IsoTime(std::uint16_t OpTime) {
  int hour = 0, minute = 0;
  DecodeDeviceTime(OpTime, hour, minute);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", hour, minute);
  return text;
}

/// The same alarm as far as the instrument can tell: the same frame carries both.
bool SameAlarm(const TZOLAlarm &a, const TZOLAlarm &b) {
  return EncodeAlarm(TCommand::SendAlarm1, a) == EncodeAlarm(TCommand::SendAlarm1, b);
}

TResult List(TSession &S) {
  TResult r;
  TCustomZOL &zol = S.Zol();
  const int count = zol.Scan();
  TJson found = TJson::array();
  for (int i = 0; i < count; ++i) {
    std::string path, manufacturer, product, serial;
    zol.Device->DevicePath(i, path);
    zol.Device->Manufacturer(i + 1, manufacturer);
    zol.Device->Product(i + 1, product);
    zol.Device->SerialNumber(i + 1, serial);
    TJson o = TJson::object();
    o["index"] = i;
    o["path"] = JsonText(path);
    o["manufacturer"] = JsonText(manufacturer);
    o["product"] = JsonText(product);
    o["serialNumber"] = JsonText(serial);
    found.push_back(std::move(o));
    r.Text += std::to_string(i) + "  " + Printable(path) + "  " + Printable(manufacturer) + "  " +
              Printable(product) + "  " + Printable(serial) + "\n";
  }
  // Instruments the system lists but will not let us open: say why, and how to mend it.
  TJson closed = TJson::array();
  const std::string fix = AccessHint().English;
  for (const TUnopenable &instrument :
       UnopenableInstruments(S.Platform(), zol.Device->Vid, zol.Device->Pid)) {
    const std::string &path = instrument.Path;
    const std::string &reason = instrument.Reason;
    TJson o = TJson::object();
    o["path"] = JsonText(path);
    o["reason"] = JsonText(reason);
    o["fix"] = fix;
    closed.push_back(std::move(o));
    r.Text +=
        "cannot open " + Printable(path) + ": " + Printable(reason) + "\n  fix: " + fix + "\n";
  }
  if (count == 0 && closed.empty())
    r.Text += "no instrument found\n";
  r.Json["instruments"] = std::move(found);
  r.Json["unopened"] = std::move(closed);
  if (count == 0)
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
  const std::string held = S.ExpectAfterAnswer("the tag read back after writing",
                                               CodeOf(TCommand::SendTag2), TEvent::Tag)
                               .Snapshot.Settings.Tag.Get();
  if (held != AsKept(S.Options.Text)) {
    S.Differs = true;
    throw TExit{ZolctlExit::Refused, "The instrument did not keep the tag"};
  }
  TResult r;
  r.Json["tag"] = JsonText(held);
  r.Text = "tag: \"" + Printable(held) + "\"\n";
  return r;
}

TResult WriteFilter(TSession &S) {
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  S.Flush();
  S.Zol().WriteFilter(S.Options.Value);
  const float held = S.ExpectAfterAnswer("the filter read back after writing",
                                         CodeOf(TCommand::SendFilter), TEvent::Filter)
                         .Snapshot.Settings.Filter;
  if (held != S.Options.Value) {
    S.Differs = true;
    throw TExit{ZolctlExit::Refused, "The instrument did not keep the filter"};
  }
  TResult r;
  r.Json["filter"] = JsonNumber(held, 2);
  r.Text = "filter: " + Fixed(held, 2) + " s\n";
  return r;
}

TResult WriteAlarm(TSession &S) {
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  const TAlarmChange &c = S.Options.Alarm;
  const bool first = c.Number == 1;
  const TEvent kind = first ? TEvent::Alarm1 : TEvent::Alarm2;
  S.Flush();
  first ? S.Zol().ReadAlarm1() : S.Zol().ReadAlarm2();
  const TZOLSettings current =
      S.ExpectAfterAnswer("the alarm read before writing",
                          CodeOf(first ? TCommand::ReadAlarm1 : TCommand::ReadAlarm2), kind)
          .Snapshot.Settings;
  TZOLAlarm alarm = first ? current.Alarm1 : current.Alarm2;
  if (c.SetPoint)
    alarm.SetPoint = *c.SetPoint;
  if (c.Hysteresis)
    alarm.Hysteresis = *c.Hysteresis;
  if (c.Delay)
    alarm.Delay = *c.Delay;
  if (c.ContactNC)
    alarm.ContactNC = *c.ContactNC;
  if (c.FailClosed)
    alarm.FailClosed = *c.FailClosed;
  if (c.LedBelow)
    alarm.LedBelow = *c.LedBelow;
  S.Flush();
  first ? S.Zol().WriteAlarm1(alarm) : S.Zol().WriteAlarm2(alarm);
  const TZOLSettings held =
      S.ExpectAfterAnswer("the alarm read back after writing",
                          CodeOf(first ? TCommand::SendAlarm1 : TCommand::SendAlarm2), kind)
          .Snapshot.Settings;
  const TZOLAlarm &back = first ? held.Alarm1 : held.Alarm2;
  if (!SameAlarm(back, alarm)) {
    S.Differs = true;
    throw TExit{ZolctlExit::Refused,
                "The instrument did not keep the settings of alarm " + std::to_string(c.Number)};
  }
  TResult r;
  r.Json["alarm" + std::to_string(c.Number)] = AlarmJson(back);
  r.Text = AlarmLines(c.Number, back);
  return r;
}

/// What Path is when it exists and is not a regular file (after symlinks), else empty.
std::string NotRegular(const std::string &Path) {
  std::error_code error;
  const auto status = std::filesystem::status(Path, error);
  if (error || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status))
    return {};
  if (std::filesystem::is_directory(status))
    return "a folder";
  if (std::filesystem::is_fifo(status))
    return "a FIFO";
  if (std::filesystem::is_character_file(status) || std::filesystem::is_block_file(status))
    return "a device";
  return "not a regular file";
}

TResult Save(TSession &S) {
  // Refused before anything is read; the save itself refuses it again, atomically.
  if (const std::string what = NotRegular(S.Options.Text); !what.empty())
    throw TExit{ZolctlExit::FileRefused, Printable(S.Options.Text) + " is " + what +
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
  const auto tenths = [](float v) { return ToTenths16(v); };
  Compare(Name + ".setPoint", File.SetPoint, Held.SetPoint, 1,
          tenths(File.SetPoint) == tenths(Held.SetPoint), "the instrument keeps tenths", Out);
  Compare(Name + ".hysteresis", File.Hysteresis, Held.Hysteresis, 1,
          tenths(File.Hysteresis) == tenths(Held.Hysteresis), "the instrument keeps tenths", Out);
  Compare(Name + ".delay", File.Delay, Held.Delay, 1,
          DelayToTenths8(File.Delay) == DelayToTenths8(Held.Delay),
          "the instrument keeps 0 to 25.5 s in tenths", Out);
  const auto flag = [&](const char *Field, std::uint8_t F, std::uint8_t H) {
    if ((F != 0) != (H != 0))
      Out.push_back({Name + "." + Field, F ? "true" : "false", H ? "true" : "false", ""});
  };
  flag("contactNC", File.ContactNC, Held.ContactNC);
  flag("failClosed", File.FailClosed, Held.FailClosed);
  flag("ledBelow", File.LedBelow, Held.LedBelow);
}

TResult Load(TSession &S) {
  // The copy read and checked is the one sent: the file is not read again.
  const TZOLSettings wanted = ReadFileOrExit(S.Options.Text, true);
  TZOLSettings sent = wanted;
  sent.Tag.Set(Upper(wanted.Tag.Get()));
  S.RequireUnlocked(S.Connect(S.Options.Serial, S.Options.Device));
  S.Zol().UseSettings(sent);
  S.Flush();
  S.Zol().WriteAll();
  S.Expect("the end of the write-all chain", TEvent::WriteAll);
  // Read everything back: the instrument must now hold the file's settings.
  S.Flush();
  S.Zol().ReadAll();
  const TZOLSettings held =
      S.Expect("the read-back after writing", TEvent::ReadAll).Snapshot.Settings;

  std::vector<TDifference> differences;
  const std::string fileTag = wanted.Tag.Get();
  if (held.Tag.Get() != fileTag)
    differences.push_back({"tag", fileTag, held.Tag.Get(),
                           held.Tag.Get() == AsKept(Upper(fileTag))
                               ? "the instrument keeps 16 characters, letters in upper case"
                               : ""});
  if (std::memcmp(&held.Filter, &wanted.Filter, sizeof(float)) != 0)
    Compare("filter", wanted.Filter, held.Filter, 2, false, "", differences);
  CompareAlarm("alarm1", wanted.Alarm1, held.Alarm1, differences);
  CompareAlarm("alarm2", wanted.Alarm2, held.Alarm2, differences);

  TResult r;
  r.Text = "sent " + Printable(S.Options.Text) + "\n";
  SettingsOut(held, r.Json, r.Text);
  TJson list = TJson::array();
  std::string unkept;
  for (const TDifference &d : differences) {
    TJson o = TJson::object();
    o["field"] = d.Field;
    o["file"] = JsonText(d.File);
    o["instrument"] = JsonText(d.Held);
    o["explained"] = !d.Why.empty();
    if (!d.Why.empty())
      o["why"] = d.Why;
    list.push_back(std::move(o));
    r.Text += std::string(d.Why.empty() ? "NOT KEPT" : "warning") + ": " + d.Field +
              ": the file holds \"" + Printable(d.File) + "\", the instrument \"" +
              Printable(d.Held) + "\"" + (d.Why.empty() ? "" : " (" + d.Why + ")") + "\n";
    if (d.Why.empty())
      unkept += (unkept.empty() ? "" : ", ") + d.Field;
  }
  r.Json["differences"] = std::move(list);
  if (!unkept.empty()) {
    S.Differs = true;
    r.Status = ZolctlExit::Refused;
    r.Message = "The instrument did not keep these settings of " + Printable(S.Options.Text) +
                ": " + unkept;
  }
  return r;
}

TResult Unlock(TSession &S) {
  // No password at connection: this command gives it.
  const TZOLModel state = [&] {
    const auto saved = S.Password;
    S.Password.reset();
    const TZOLModel m = S.Connect(S.Options.Serial, S.Options.Device);
    S.Password = saved;
    return m;
  }();
  if (state.WriteLocked && (!S.Password || !S.UnlockWith(*S.Password)))
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
  TBlockBytes reversed{};
  std::reverse_copy(m.CryptedPassword.begin(), m.CryptedPassword.end(), reversed.begin());
  TResult r;
  r.Json["cryptedPassword"] = HexBytes(reversed.data(), reversed.size());
  r.Json["serialNumber"] = JsonText(m.SerialNumber);
  r.Text = "crypted password: " + HexBytes(reversed.data(), reversed.size()) +
           "\nserial number: " + Printable(m.SerialNumber) + "\nGive both to the maker.\n";
  return r;
}

TResult History(TSession &S) {
  S.Connect(S.Options.Serial, S.Options.Device);
  TResult r;
  TJson rows = TJson::array();
  S.Flush();
  S.Zol().ReadHistory();
  for (int index = 0; index < 8; ++index) {
    // The records come one per answer, in order; each wait ends when its record arrives.
    // A record that did not come ends the chain with a message naming it.
    const TWROP w = S.Expect("history record " + std::to_string(index), [](const TEventRecord &e) {
                       if (e.Kind == TEvent::ChainError)
                         throw TExit{ZolctlExit::NoInstrument, e.Message};
                       return e.Kind == TEvent::WROP;
                     }).Record;
    const bool empty = WROPSlot(w.SlotMask) < 0;
    TJson o = TJson::object();
    o["index"] = index;
    o["slotMask"] = w.SlotMask;
    o["empty"] = empty;
    if (!empty) {
      o["opCode"] = w.OpCode;
      o["operation"] = JsonText(WROPOperationName(w.OpCode));
      o["date"] = IsoDate(w.OpDate);
      o["time"] = IsoTime(w.OpTime);
    }
    rows.push_back(std::move(o));
    r.Text += std::to_string(index) + "  " + HexByte(w.SlotMask) + "  " +
              (empty ? std::string("(empty)")
                     : Printable(WROPOperationName(w.OpCode)) + "  " + WROPDateText(w.OpDate) +
                           "  " + WROPTimeText(w.OpTime)) +
              "\n";
  }
  r.Json["history"] = std::move(rows);
  return r;
}

TResult Monitor(TSession &S) {
  const TZolctlOptions &o = S.Options;
  S.Connect(o.Serial, o.Device);
  if (o.Csv)
    Emit(S.Out, StateCsvHeader());
  long lines = 0;
  std::optional<TZOLModel> latest;
  const auto interval = std::chrono::milliseconds(o.IntervalMs.value_or(0));
  auto tick = Clock::now() + interval;
  bool connected = true;
  const auto timeout = std::chrono::milliseconds(o.TimeoutMs);
  auto silentSince = Clock::now();
  // The instrument's silence runs from its last state answer as it arrived, not as it was taken
  // from the queue: a reader of the output that stalls is no fault of the instrument's.
  const auto heard = [&] { return std::max(silentSince, S.LastStateArrival()); };
  // Unplugged, the link looks for the instrument by itself every kAbsentPause; told of
  // arrivals by the system, it looks at once when one comes.
  const bool told = !o.ExitOnDisconnect && S.WatchArrivals();
  while (!o.Count || lines < *o.Count) {
    // Unplugged, the wait has no end but an interruption: an hour at a time, or a look at the
    // system's news every 20 ms.
    const auto deadline =
        !connected ? Clock::now() + (told ? std::chrono::milliseconds(20) : std::chrono::hours(1))
        : o.IntervalMs ? std::min(tick, heard() + timeout)
                       : heard() + timeout;
    std::optional<TEventRecord> e = S.Next(deadline);
    const auto now = Clock::now();
    if (!connected && told)
      S.LookOnArrival();
    if (e && e->Kind == TEvent::Disconnect) {
      if (o.ExitOnDisconnect)
        throw TExit{ZolctlExit::NoInstrument, "The instrument was unplugged"};
      Emit(S.Err, "zolctl: the instrument was unplugged; waiting for it to come back\n");
      if (o.Verbose)
        Emit(S.Err, told ? "zolctl: the system tells when it is plugged in again\n"
                         : "zolctl: the system tells nothing of arrivals: the link looks for "
                           "it every " +
                               std::to_string(kAbsentPause.count()) + " ms\n");
      connected = false;
      latest.reset();
      continue;
    }
    if (e && e->Kind == TEvent::Connect && !connected) {
      Emit(S.Err, "zolctl: the instrument is back\n");
      connected = true;
      silentSince = now;
      tick = now + interval;
      continue;
    }
    if (e && e->Kind == TEvent::State) {
      silentSince = now;
      latest = e->Snapshot;
      if (!o.IntervalMs) {
        Emit(S.Out, MonitorLine(*latest, o.Json, o.Csv, std::chrono::system_clock::now()));
        ++lines;
      }
      continue;
    }
    if (connected && now >= heard() + timeout)
      throw TExit{ZolctlExit::NoInstrument,
                  "No answer in time: a state answer did not come within " +
                      std::to_string(o.TimeoutMs) + " ms"};
    if (o.IntervalMs && now >= tick) {
      // One line per interval, the latest state; ticks missed while unplugged are skipped.
      if (latest) {
        Emit(S.Out, MonitorLine(*latest, o.Json, o.Csv, std::chrono::system_clock::now()));
        ++lines;
      }
      while (tick <= now)
        tick += interval;
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
  const std::string info = S.Expect("the information block", TEvent::Info).Snapshot.InfoText;
  const bool programmed = FirmwareProgrammed(info);
  TResult r;
  r.Json["info"] = JsonText(info);
  r.Json["usbFirmwareProgrammed"] = programmed;
  r.Text = "info: " + Printable(info) +
           "\nUSB interface firmware: " + (programmed ? "programmed" : "not programmed") + "\n";
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
  const auto row = [](const std::string &Name, const std::string &Value) {
    return "<tr><th>" + HtmlText(Name) + "</th><td>" + HtmlText(Value) + "</td></tr>\n";
  };
  std::string html =
      row("tag", "\"" + S.Tag.Get() + "\"") + row("filter", Fixed(S.Filter, 2) + " s");
  int number = 1;
  for (const TZOLAlarm *a : {&S.Alarm1, &S.Alarm2}) {
    const std::string name = "alarm " + std::to_string(number++) + " ";
    html += row(name + "set point", Fixed(a->SetPoint) + " C");
    html += row(name + "hysteresis", Fixed(a->Hysteresis) + " C");
    html += row(name + "delay", Fixed(a->Delay) + " s");
    html += row(name + "contact", a->ContactNC ? "normally closed" : "normally open");
    html += row(name + "on sensor failure", a->FailClosed ? "closed" : "open");
    html += row(name + "LED lit", a->LedBelow ? "below the set point" : "above the set point");
  }
  return html;
}

TResult Sheet(TSession &S) {
  const TZOLModel state = S.Connect(S.Options.Serial, S.Options.Device);
  S.Flush();
  S.Zol().ReadInfo();
  const std::string info = S.Expect("the information block", TEvent::Info).Snapshot.InfoText;
  S.Flush();
  S.Zol().ReadAll();
  const TZOLSettings settings =
      S.Expect("the end of the read-all chain", TEvent::ReadAll).Snapshot.Settings;
  const std::string date = LocalIsoTime(std::chrono::system_clock::now());
  const bool programmed = FirmwareProgrammed(info);
  const TSheetRecords journal = SheetRecords(state.SerialNumber, kSheetRecords);

  TResult r;
  r.Json["date"] = date;
  r.Json["manufacturer"] = JsonText(state.Manufacturer);
  r.Json["product"] = JsonText(state.Product);
  r.Json["serialNumber"] = JsonText(state.SerialNumber);
  r.Json["info"] = JsonText(info);
  r.Json["usbFirmwareProgrammed"] = programmed;
  r.Json["writeLocked"] = state.WriteLocked;
  TJson settingsJson = TJson::object();
  std::string settingsText;
  SettingsOut(settings, settingsJson, settingsText);
  r.Json["settings"] = std::move(settingsJson);
  r.Json["journal"] = journal.Json;
  if (!journal.Problem.empty())
    r.Json["journalProblem"] = JsonText(journal.Problem);

  const std::string firmware = programmed ? "programmed" : "not programmed";
  if (!S.Options.Html) {
    r.Text = "RW8 configuration sheet\ndate: " + date +
             "\nmanufacturer: " + Printable(state.Manufacturer) +
             "\nproduct: " + Printable(state.Product) +
             "\nserial number: " + Printable(state.SerialNumber) + "\ninfo: " + Printable(info) +
             "\nUSB interface firmware: " + firmware +
             "\nwrite lock: " + (state.WriteLocked ? "locked" : "unlocked") + "\n" + settingsText +
             "journal, the last " + std::to_string(kSheetRecords) +
             " records of this instrument:\n" +
             (!journal.Problem.empty() ? "  " + Printable(journal.Problem) + "\n"
              : journal.Text.empty()   ? std::string("  none\n")
                                       : journal.Text);
    return r;
  }
  const auto row = [](const std::string &Name, const std::string &Value) {
    return "<tr><th>" + HtmlText(Name) + "</th><td>" + HtmlText(Value) + "</td></tr>\n";
  };
  r.Text = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>RW8 " +
           HtmlText(state.SerialNumber) +
           "</title>\n<style>table{border-collapse:collapse}th,td{border:1px solid #999;"
           "padding:2px 6px;text-align:left}</style>\n</head>\n<body>\n"
           "<h1>RW8 configuration sheet</h1>\n<table>\n" +
           row("date", date) + row("manufacturer", state.Manufacturer) +
           row("product", state.Product) + row("serial number", state.SerialNumber) +
           row("info", info) + row("USB interface firmware", firmware) +
           row("write lock", state.WriteLocked ? "locked" : "unlocked") +
           "</table>\n<h2>Settings</h2>\n<table>\n" + HtmlSettings(settings) +
           "</table>\n<h2>Journal: the last " + std::to_string(kSheetRecords) +
           " records of this instrument</h2>\n";
  if (!journal.Problem.empty())
    r.Text += "<p>" + HtmlText(journal.Problem) + "</p>\n";
  else if (journal.Html.empty())
    r.Text += "<p>none</p>\n";
  else
    r.Text += "<table>\n<tr><th>time</th><th>operation</th><th>verdict</th><th>user</th>"
              "<th>program</th><th>file</th><th>message</th></tr>\n" +
              journal.Html + "</table>\n";
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
  const std::string tag = Settings.Tag.Get();
  if (!IsPackable(Upper(tag.substr(0, kDeviceTagLength))))
    return "the tag \"" + Printable(tag) +
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
  static std::mutex mutex;
  static std::map<std::string, TZOLSettings> read;
  std::lock_guard<std::mutex> lock(mutex);
  auto known = read.find(Path);
  if (known == read.end()) {
    // A FIFO or a device would block the read, or never end it.
    if (const std::string what = NotRegular(Path); !what.empty())
      throw TExit{ZolctlExit::FileRefused,
                  Printable(Path) + " is " + what + ", not a parameter file"};
    TZOLSettings settings;
    const TParamFileResult r = ReadParameterFile(Path, settings);
    if (!r.Ok) {
      const std::string message = Worded(r.Error);
      throw TExit{ZolctlExit::FileRefused,
                  r.Refused ? std::string(kFichierIncorrect) + "\n" + message : message};
    }
    known = read.emplace(Path, settings).first;
  }
  if (std::string problem = ForSending ? CheckSendable(known->second) : ""; !problem.empty())
    throw TExit{ZolctlExit::Usage, Printable(Path) + ": " + problem + "; nothing was sent"};
  return known->second;
}

TResult ShowFile(const std::string &Path) {
  TResult r;
  SettingsOut(ReadFileOrExit(Path, false), r.Json, r.Text);
  return r;
}

} // namespace zol
