#include "tools/Zolctl.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "link/SystemHidPlatform.h"
#include "protocol/ParamFile.h"
#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"
#include "tools/TapPlatform.h"

namespace zol {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> Interrupted{false};

/// Ends the command with an exit status and a message for standard error.
struct TExit {
  int Code;
  std::string Message;
};

// ---- JSON output --------------------------------------------------------------------------------

std::string JsonString(const std::string &Text) {
  std::string out = "\"";
  for (unsigned char c : Text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    default:
      if (c < 0x20) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
        out += buffer;
      } else if (c >= 0x80 && c < 0xC0) {
        out += "\\ufffd"; // a lone byte of a foreign code page
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  return out + "\"";
}

std::string JsonNumber(double Value, int Decimals = 1) {
  if (!std::isfinite(Value))
    return "null";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", Decimals, Value);
  return buffer;
}

/// An ordered JSON object; values are already JSON text.
class JsonObject {
public:
  JsonObject &Add(const std::string &Key, std::string Json) {
    Fields.emplace_back(Key, std::move(Json));
    return *this;
  }
  JsonObject &Str(const std::string &Key, const std::string &Value) {
    return Add(Key, JsonString(Value));
  }
  JsonObject &Bool(const std::string &Key, bool Value) { return Add(Key, Value ? "true" : "false"); }
  JsonObject &Num(const std::string &Key, double Value, int Decimals = 1) {
    return Add(Key, JsonNumber(Value, Decimals));
  }
  std::string Text() const {
    std::string out = "{";
    for (std::size_t i = 0; i < Fields.size(); ++i) {
      if (i)
        out += ",";
      out += JsonString(Fields[i].first) + ":" + Fields[i].second;
    }
    return out + "}";
  }
  bool Empty() const { return Fields.empty(); }

private:
  std::vector<std::pair<std::string, std::string>> Fields;
};

std::string JsonArray(const std::vector<std::string> &Items) {
  std::string out = "[";
  for (std::size_t i = 0; i < Items.size(); ++i)
    out += (i ? "," : "") + Items[i];
  return out + "]";
}

// ---- Formatting ---------------------------------------------------------------------------------

std::string Fixed(double Value, int Decimals = 1) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", Decimals, Value);
  return buffer;
}

std::string HexBytes(const std::uint8_t *Bytes, int Count) {
  std::string out;
  for (int i = 0; i < Count; ++i) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%s%02X", i ? " " : "", Bytes[i]);
    out += buffer;
  }
  return out;
}

const char *OnOff(bool Value) { return Value ? "on" : "off"; }

std::string MeasureText(float Measure) {
  return Measure >= 9999.0f ? "sensor failure" : Fixed(Measure) + " C";
}

JsonObject AlarmJson(const TZOLAlarm &Alarm) {
  JsonObject o;
  o.Num("setPoint", Alarm.SetPoint)
      .Num("hysteresis", Alarm.Hysteresis)
      .Num("delay", Alarm.Delay)
      .Bool("contactNC", Alarm.ContactNC != 0)
      .Bool("failClosed", Alarm.FailClosed != 0)
      .Bool("ledBelow", Alarm.LedBelow != 0);
  return o;
}

std::string AlarmLines(int Number, const TZOLAlarm &Alarm) {
  std::ostringstream out;
  out << "alarm " << Number << ": set point " << Fixed(Alarm.SetPoint) << " C, hysteresis "
      << Fixed(Alarm.Hysteresis) << " C, delay " << Fixed(Alarm.Delay) << " s\n"
      << "         contact " << (Alarm.ContactNC ? "normally closed" : "normally open")
      << ", " << (Alarm.FailClosed ? "closed" : "open") << " on sensor failure, LED lit "
      << (Alarm.LedBelow ? "below" : "above") << " the set point\n";
  return out.str();
}

void SettingsOut(const TZOLSettings &Settings, JsonObject &Json, std::string &Text) {
  Json.Str("tag", Settings.Tag.Get())
      .Num("filter", Settings.Filter, 2)
      .Add("alarm1", AlarmJson(Settings.Alarm1).Text())
      .Add("alarm2", AlarmJson(Settings.Alarm2).Text());
  Text += "tag: \"" + Settings.Tag.Get() + "\"\n";
  Text += "filter: " + Fixed(Settings.Filter, 2) + " s\n";
  Text += AlarmLines(1, Settings.Alarm1);
  Text += AlarmLines(2, Settings.Alarm2);
}

void StateOut(const TZOLModel &m, JsonObject &Json, std::string &Text) {
  Json.Num("measure", m.Measure)
      .Bool("sensorFailure", m.Measure >= 9999.0f)
      .Bool("relay1", m.Relay1)
      .Bool("led1", m.Led1)
      .Bool("relay2", m.Relay2)
      .Bool("led2", m.Led2)
      .Bool("writeLocked", m.WriteLocked)
      .Bool("useDisplay", m.UseDisplay)
      .Bool("useE2PROM", m.UseE2PROM)
      .Num("rawValue", m.RawValue, 0)
      .Num("rt", m.Rt, 1);
  Text += "measure: " + MeasureText(m.Measure) + "\n";
  Text += std::string("relay 1: ") + OnOff(m.Relay1) + "   LED 1: " + OnOff(m.Led1) + "\n";
  Text += std::string("relay 2: ") + OnOff(m.Relay2) + "   LED 2: " + OnOff(m.Led2) + "\n";
  Text += std::string("write lock: ") + (m.WriteLocked ? "locked" : "unlocked") + "\n";
  Text += std::string("options: display ") + (m.UseDisplay ? "yes" : "no") + ", E2PROM " +
          (m.UseE2PROM ? "yes" : "no") + "\n";
  Text += "raw value: " + std::to_string(m.RawValue) + "   Rt: " + Fixed(m.Rt) + "\n";
}

/// Puts a simulated instrument in one of the fault states --sim-fault names (already checked).
void ApplyFault(VirtualRW8 &Instrument, const std::string &Fault) {
  if (Fault == "silent")
    Instrument.SetSilent(true);
  else if (Fault == "unplugged")
    Instrument.SetPresent(false);
  else if (Fault == "sensor-failure")
    Instrument.SetSensorFailure(true);
  else if (Fault == "error-answers")
    Instrument.SetErrorAnswers(true);
  else if (Fault == "oversized")
    Instrument.SetOversizedReports(true);
  else if (Fault == "permission-denied")
    Instrument.SetPermissionDenied(true);
  else if (Fault.rfind("drop=", 0) == 0)
    Instrument.SetDropShare(std::stod(Fault.substr(5)), 7);
  else if (Fault.rfind("corrupt=", 0) == 0)
    Instrument.SetCorruptShare(std::stod(Fault.substr(8)), 7);
}

// ---- The session --------------------------------------------------------------------------------

enum class TEvent {
  Answer, // a valid answer came off the wire (Code)
  Connect,
  Disconnect,
  State,
  Error,
  Unlocked,
  Alarm1,
  Alarm2,
  Filter,
  Tag,
  Info,
  ReadAll,
  WriteAll,
  WROP,
  Crypted,
  ChainError,
};

struct TEventRecord {
  TEvent Kind;
  std::uint8_t Code = 0;
  TZOLModel Snapshot;
  TWROP Record;
  std::string Message;
};

class Session {
public:
  Session(const TZolctlOptions &Options, std::ostream &Out, std::ostream &Err)
      : Options(Options), Out(Out), Err(Err) {}

  ~Session() {
    if (ZOL)
      ZOL->Close();
  }

  int Run();

private:
  void Build();
  void Push(TEventRecord Record);
  void Flush();
  /// Waits for the first event that Accept takes, bounded by the time-out; What names it.
  TEventRecord Expect(const std::string &What, const std::function<bool(const TEventRecord &)> &Accept);
  TEventRecord Expect(const std::string &What, TEvent Kind) {
    return Expect(What, [Kind](const TEventRecord &e) { return e.Kind == Kind; });
  }
  TZOLModel Connect();
  void RequireUnlocked(const TZOLModel &State);
  bool UnlockWith(const std::string &Password);
  void Print(const JsonObject &Json, const std::string &Text);

  void List();
  void Show();
  void Load(TZOLModel State);
  void WriteAlarm(TZOLModel State);
  void History();
  void Monitor();

  const TZolctlOptions &Options;
  std::ostream &Out;
  std::ostream &Err;

  // Destroyed in reverse order: the component (and its worker) before the platforms.
  std::unique_ptr<HidPlatform> Platform;
  std::unique_ptr<TapPlatform> Tap;
  std::unique_ptr<TCustomZOL> ZOL;

  std::mutex EventsMutex; //!< Protects Events.
  std::condition_variable EventsChanged;
  std::deque<TEventRecord> Events;
};

void Session::Push(TEventRecord Record) {
  std::lock_guard lock(EventsMutex);
  Events.push_back(std::move(Record));
  EventsChanged.notify_all();
}

void Session::Flush() {
  std::lock_guard lock(EventsMutex);
  Events.clear();
}

TEventRecord Session::Expect(const std::string &What,
                             const std::function<bool(const TEventRecord &)> &Accept) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(Options.TimeoutMs);
  std::unique_lock lock(EventsMutex);
  for (;;) {
    while (!Events.empty()) {
      TEventRecord e = std::move(Events.front());
      Events.pop_front();
      if (Accept(e))
        return e;
      if (e.Kind == TEvent::Disconnect)
        throw TExit{ZolctlExit::NoInstrument, "The instrument was unplugged while waiting for " + What};
      if (e.Kind == TEvent::ChainError)
        throw TExit{ZolctlExit::Usage, e.Message};
    }
    if (Interrupted.load())
      throw TExit{ZolctlExit::Done, ""};
    if (Clock::now() >= deadline)
      throw TExit{ZolctlExit::NoInstrument, "No answer in time: " + What + " did not come within " +
                                                std::to_string(Options.TimeoutMs) + " ms"};
    // Short slices so that Ctrl-C is seen promptly.
    EventsChanged.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
  }
}

void Session::Build() {
  if (Options.Sim) {
    TVirtualRW8Options base;
    base.MemoryFile = Options.SimMemory;
    auto sim = std::make_unique<SimPlatform>(Options.SimCount, base);
    for (int i = 0; i < sim->InstrumentCount(); ++i)
      if (auto instrument = sim->Instrument(i))
        for (const std::string &fault : Options.SimFaults)
          ApplyFault(*instrument, fault);
    Platform = std::move(sim);
  } else {
    Platform = MakeSystemHidPlatform();
  }
  Tap = std::make_unique<TapPlatform>(*Platform, Options.Trace ? &Err : nullptr, Options.ShowSecrets);
  Tap->SetAnswerListener([this](std::uint8_t Code) { Push({TEvent::Answer, Code, {}, {}, {}}); });
  ZOL = std::make_unique<TCustomZOL>(*Tap);

  auto on = [this](TEvent Kind) {
    return [this, Kind](TObject *) { Push({Kind, 0, ZOL->Snapshot(), {}, {}}); };
  };
  ZOL->OnConnect = on(TEvent::Connect);
  ZOL->OnDisconnect = on(TEvent::Disconnect);
  ZOL->OnUpdateState = on(TEvent::State);
  ZOL->OnError = on(TEvent::Error);
  ZOL->OnUnlockDevice = on(TEvent::Unlocked);
  ZOL->OnUpdateAlarm1 = on(TEvent::Alarm1);
  ZOL->OnUpdateAlarm2 = on(TEvent::Alarm2);
  ZOL->OnUpdateFilter = on(TEvent::Filter);
  ZOL->OnUpdateTag = on(TEvent::Tag);
  ZOL->OnUpdateInfo = on(TEvent::Info);
  ZOL->OnReadAll = on(TEvent::ReadAll);
  ZOL->OnWriteAll = on(TEvent::WriteAll);
  ZOL->OnGetCryptedPassword = on(TEvent::Crypted);
  ZOL->OnUpdateWROP = [this](TPtrWROP Record) {
    TEventRecord e{TEvent::WROP, 0, {}, *Record, {}};
    Push(std::move(e));
  };
  ZOL->OnChainError = [this](TObject *, const std::string &Message) {
    Push({TEvent::ChainError, 0, {}, {}, Message});
  };
}

TZOLModel Session::Connect() {
  const int count = ZOL->Scan();
  if (count == 0)
    throw TExit{ZolctlExit::NoInstrument, "No instrument found (see 'zolctl list')"};
  if (Options.Device >= count)
    throw TExit{ZolctlExit::NoInstrument, "No instrument number " + std::to_string(Options.Device) +
                                              ": " + std::to_string(count) + " found"};
  if (!ZOL->Open(Options.Device))
    throw TExit{ZolctlExit::NoInstrument,
                "The instrument could not be opened (its report lengths cannot be read, or it "
                "declares reports longer than this program takes)"};
  Expect("the connection", TEvent::Connect);
  Expect("the tag read at connection", TEvent::Tag);
  TZOLModel state = Expect("the state after connection", TEvent::State).Snapshot;
  if (Options.Password && state.WriteLocked) {
    if (!UnlockWith(*Options.Password))
      throw TExit{ZolctlExit::Refused, "The instrument stays write-locked: wrong password"};
    state = Expect("the state after unlocking", TEvent::State).Snapshot;
  }
  return state;
}

bool Session::UnlockWith(const std::string &Password) {
  Flush();
  ZOL->Unlock(Password);
  bool answered = false;
  const TEventRecord e = Expect("the answer to the unlock command", [&](const TEventRecord &r) {
    if (r.Kind == TEvent::Answer && r.Code == CodeOf(TCommand::Unlock))
      answered = true;
    return r.Kind == TEvent::Unlocked || (answered && r.Kind == TEvent::State);
  });
  return e.Kind == TEvent::Unlocked || !e.Snapshot.WriteLocked;
}

void Session::RequireUnlocked(const TZOLModel &State) {
  if (State.WriteLocked)
    throw TExit{ZolctlExit::Refused,
                "The instrument is write-locked: unlock it with --password PW or 'zolctl unlock'"};
}

void Session::Print(const JsonObject &Json, const std::string &Text) {
  if (Options.Json)
    Out << Json.Text() << '\n';
  else
    Out << Text;
}

void Session::List() {
  const int count = ZOL->Scan();
  std::vector<std::string> found;
  std::string text;
  for (int i = 0; i < count; ++i) {
    std::string path, manufacturer, product, serial;
    ZOL->Device->DevicePath(i, path);
    ZOL->Device->Manufacturer(i + 1, manufacturer);
    ZOL->Device->Product(i + 1, product);
    ZOL->Device->SerialNumber(i + 1, serial);
    JsonObject o;
    o.Num("index", i, 0).Str("path", path).Str("manufacturer", manufacturer).Str("product", product).Str("serialNumber", serial);
    found.push_back(o.Text());
    text += std::to_string(i) + "  " + path + "  " + manufacturer + "  " + product + "  " + serial + "\n";
  }
  // Instruments the system lists but will not let us open: say why, and how to mend it.
  std::vector<std::string> closed;
  for (const std::string &path : Platform->ListInterfaces(false)) {
    HidAttributes attributes;
    if (!Platform->PeekAttributes(path, attributes) || attributes.VendorID != ZOL->Device->Vid ||
        attributes.ProductID != ZOL->Device->Pid)
      continue;
    const HidHandle handle = Platform->Open(path);
    if (handle != kInvalidHidHandle) {
      Platform->Close(handle);
      continue;
    }
    const std::string reason = Platform->LastOpenError();
    const std::string fix =
        "install the udev rule 70-rw8.rules shipped in resources/: sudo cp resources/70-rw8.rules "
        "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger, then plug "
        "the instrument in again";
    JsonObject o;
    o.Str("path", path).Str("reason", reason).Str("fix", fix);
    closed.push_back(o.Text());
    text += "cannot open " + path + ": " + reason + "\n  fix: " + fix + "\n";
  }
  if (count == 0 && closed.empty())
    text += "no instrument found\n";
  JsonObject json;
  json.Add("instruments", JsonArray(found)).Add("unopened", JsonArray(closed));
  Print(json, text);
  if (count == 0)
    throw TExit{ZolctlExit::NoInstrument, ""};
}

void Session::Show() {
  TZOLSettings settings;
  const TParamFileResult r = ReadParameterFile(Options.Text, settings);
  if (!r.Ok) {
    if (r.Refused)
      throw TExit{ZolctlExit::FileRefused, std::string(kFichierIncorrect) + "\n" + r.Message};
    throw TExit{ZolctlExit::FileRefused, Options.Text + ": " + r.Message};
  }
  JsonObject json;
  std::string text;
  SettingsOut(settings, json, text);
  Print(json, text);
}

/// Checks that every value of Settings can go out in a frame.
std::string CheckSendable(const TZOLSettings &Settings) {
  try {
    for (const TZOLAlarm *a : {&Settings.Alarm1, &Settings.Alarm2}) {
      ToTenths16(a->SetPoint, "Set point");
      ToTenths16(a->Hysteresis, "Hysteresis");
      DelayToTenths8(a->Delay);
    }
  } catch (const ERangeError &e) {
    return e.what();
  }
  return {};
}

/// The tag as the instrument keeps it: 16 characters, through the packing.
std::string AsKept(const std::string &Tag) {
  std::string padded = (Tag + std::string(kDeviceTagLength, ' ')).substr(0, kDeviceTagLength);
  std::string kept;
  for (int i = 0; i < kDeviceTagLength; i += 4) {
    const auto packed = PackChars(std::string_view(padded).substr(static_cast<std::size_t>(i), 4));
    kept += UnpackChars(packed.data());
  }
  return kept;
}

bool SameAlarm(const TZOLAlarm &a, const TZOLAlarm &b) {
  return ToTenths16(a.SetPoint, "Set point") == ToTenths16(b.SetPoint, "Set point") &&
         ToTenths16(a.Hysteresis, "Hysteresis") == ToTenths16(b.Hysteresis, "Hysteresis") &&
         DelayToTenths8(a.Delay) == DelayToTenths8(b.Delay) &&
         (a.ContactNC != 0) == (b.ContactNC != 0) && (a.FailClosed != 0) == (b.FailClosed != 0) &&
         (a.LedBelow != 0) == (b.LedBelow != 0);
}

void Session::Load(TZOLModel State) {
  RequireUnlocked(State);
  const TParamFileResult r = ZOL->LoadParameters(Options.Text);
  if (!r.Ok)
    throw TExit{ZolctlExit::FileRefused, r.Refused ? std::string(kFichierIncorrect) + "\n" + r.Message
                                                   : Options.Text + ": " + r.Message};
  const TZOLSettings wanted = ZOL->Snapshot().Settings;
  Flush();
  ZOL->WriteAll();
  Expect("the end of the write-all chain", TEvent::WriteAll);
  // Read everything back: the instrument must now hold the file's settings.
  Flush();
  ZOL->ReadAll();
  const TZOLSettings held = Expect("the read-back after writing", TEvent::ReadAll).Snapshot.Settings;
  if (held.Tag.Get() != AsKept(wanted.Tag.Get()) || held.Filter != wanted.Filter ||
      !SameAlarm(held.Alarm1, wanted.Alarm1) || !SameAlarm(held.Alarm2, wanted.Alarm2))
    throw TExit{ZolctlExit::Refused, "The instrument did not keep the settings of " + Options.Text};
  JsonObject json;
  std::string text = "sent " + Options.Text + "\n";
  SettingsOut(held, json, text);
  Print(json, text);
}

void Session::WriteAlarm(TZOLModel State) {
  RequireUnlocked(State);
  const TAlarmChange &c = Options.Alarm;
  const bool first = c.Number == 1;
  const TEvent kind = first ? TEvent::Alarm1 : TEvent::Alarm2;
  Flush();
  first ? ZOL->ReadAlarm1() : ZOL->ReadAlarm2();
  const TZOLSettings current = Expect("the alarm read before writing", kind).Snapshot.Settings;
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
  Flush();
  first ? ZOL->WriteAlarm1(alarm) : ZOL->WriteAlarm2(alarm);
  const TZOLSettings held = Expect("the alarm read back after writing", kind).Snapshot.Settings;
  const TZOLAlarm &back = first ? held.Alarm1 : held.Alarm2;
  if (!SameAlarm(back, alarm))
    throw TExit{ZolctlExit::Refused, "The instrument did not keep the settings of alarm " +
                                         std::to_string(c.Number)};
  JsonObject json;
  json.Add("alarm" + std::to_string(c.Number), AlarmJson(back).Text());
  Print(json, AlarmLines(c.Number, back));
}

void Session::History() {
  std::vector<std::string> rows;
  std::string text;
  for (int index = 0; index < 8; ++index) {
    Flush();
    ZOL->ReadWROP(index);
    // The instrument repeats the previous record until it takes the new request: a record
    // answers request i when its slot is i, or when it has no slot (nothing recorded there).
    const std::uint8_t mask = static_cast<std::uint8_t>(0xFF << index);
    const TWROP r = Expect("history record " + std::to_string(index), [&](const TEventRecord &e) {
                      return e.Kind == TEvent::WROP && (e.Record.SlotMask == mask || WROPSlot(e.Record.SlotMask) < 0);
                    }).Record;
    const bool empty = WROPSlot(r.SlotMask) < 0;
    JsonObject o;
    o.Num("index", index, 0).Num("slotMask", r.SlotMask, 0).Bool("empty", empty);
    if (!empty) {
      o.Num("opCode", r.OpCode, 0)
          .Str("operation", WROPOperationName(r.OpCode))
          .Str("date", WROPDateText(r.OpDate))
          .Str("time", WROPTimeText(r.OpTime));
    }
    rows.push_back(o.Text());
    char mark[8];
    std::snprintf(mark, sizeof mark, "%02X", r.SlotMask);
    text += std::to_string(index) + "  " + mark + "  ";
    text += empty ? std::string("(empty)")
                  : WROPOperationName(r.OpCode) + "  " + WROPDateText(r.OpDate) + "  " +
                        WROPTimeText(r.OpTime);
    text += "\n";
  }
  JsonObject json;
  json.Add("history", JsonArray(rows));
  Print(json, text);
}

void Session::Monitor() {
  long lines = 0;
  while (!Options.Count || lines < *Options.Count) {
    const TZOLModel m = Expect("a state answer", TEvent::State).Snapshot;
    if (Options.Json) {
      JsonObject json;
      std::string unused;
      StateOut(m, json, unused);
      Out << json.Text() << '\n';
    } else {
      Out << MeasureText(m.Measure) << "  relay1 " << OnOff(m.Relay1) << "  led1 " << OnOff(m.Led1)
          << "  relay2 " << OnOff(m.Relay2) << "  led2 " << OnOff(m.Led2)
          << (m.WriteLocked ? "  locked" : "  unlocked") << '\n';
    }
    Out.flush();
    ++lines;
  }
}

int Session::Run() {
  try {
    if (Options.Command == TZolctlCommand::Show) {
      Show();
      return ZolctlExit::Done;
    }
    if (Options.Command == TZolctlCommand::Load) {
      // Refuse a bad file before touching any instrument.
      TZOLSettings settings;
      const TParamFileResult r = ReadParameterFile(Options.Text, settings);
      if (!r.Ok)
        throw TExit{ZolctlExit::FileRefused, r.Refused ? std::string(kFichierIncorrect) + "\n" + r.Message
                                                       : Options.Text + ": " + r.Message};
      if (std::string problem = CheckSendable(settings); !problem.empty())
        throw TExit{ZolctlExit::Usage, Options.Text + ": " + problem + "; nothing was sent"};
    }
    Build();
    if (Options.Command == TZolctlCommand::List) {
      List();
      return ZolctlExit::Done;
    }
    TZOLModel state = Connect();
    JsonObject json;
    std::string text;
    switch (Options.Command) {
    case TZolctlCommand::State:
      StateOut(state, json, text);
      Print(json, text);
      break;
    case TZolctlCommand::Read: {
      Flush();
      ZOL->ReadAll();
      SettingsOut(Expect("the end of the read-all chain", TEvent::ReadAll).Snapshot.Settings, json, text);
      Print(json, text);
      break;
    }
    case TZolctlCommand::WriteTag: {
      RequireUnlocked(state);
      Flush();
      ZOL->WriteTag(Options.Text);
      const std::string held = Expect("the tag read back after writing", TEvent::Tag).Snapshot.Settings.Tag.Get();
      if (held != AsKept(Options.Text))
        throw TExit{ZolctlExit::Refused, "The instrument did not keep the tag"};
      json.Str("tag", held);
      Print(json, "tag: \"" + held + "\"\n");
      break;
    }
    case TZolctlCommand::WriteFilter: {
      RequireUnlocked(state);
      Flush();
      ZOL->WriteFilter(Options.Value);
      const float held = Expect("the filter read back after writing", TEvent::Filter).Snapshot.Settings.Filter;
      if (held != Options.Value)
        throw TExit{ZolctlExit::Refused, "The instrument did not keep the filter"};
      json.Num("filter", held, 2);
      Print(json, "filter: " + Fixed(held, 2) + " s\n");
      break;
    }
    case TZolctlCommand::WriteAlarm:
      WriteAlarm(state);
      break;
    case TZolctlCommand::Save: {
      Flush();
      ZOL->ReadAll();
      Expect("the end of the read-all chain", TEvent::ReadAll);
      const TParamFileResult r = ZOL->SaveParameters(Options.Text);
      if (!r.Ok)
        throw TExit{ZolctlExit::FileRefused, Options.Text + ": " + r.Message};
      json.Str("saved", Options.Text);
      Print(json, "saved " + Options.Text + "\n");
      break;
    }
    case TZolctlCommand::Load:
      Load(state);
      break;
    case TZolctlCommand::Unlock: {
      const bool unlocked = !state.WriteLocked || UnlockWith(Options.Text);
      if (!unlocked)
        throw TExit{ZolctlExit::Refused, "Wrong password: the instrument stays write-locked"};
      json.Bool("writeLocked", false);
      Print(json, "unlocked\n");
      break;
    }
    case TZolctlCommand::ChangePassword: {
      RequireUnlocked(state);
      Flush();
      ZOL->ChangePassword(Options.Text);
      bool answered = false;
      Expect("the answer to the password change", [&](const TEventRecord &e) {
        if (e.Kind == TEvent::Answer && e.Code == CodeOf(TCommand::ChangePassword))
          answered = true;
        return answered && e.Kind == TEvent::State;
      });
      json.Bool("passwordChanged", true);
      Print(json, "password changed\n");
      break;
    }
    case TZolctlCommand::LostPassword: {
      Flush();
      ZOL->ReadCryptedPassword();
      const TZOLModel m = Expect("the crypted password", TEvent::Crypted).Snapshot;
      // Shown as the password dialog shows it: last byte first.
      std::uint8_t reversed[6];
      for (int i = 0; i < 6; ++i)
        reversed[i] = m.CryptedPassword[static_cast<std::size_t>(5 - i)];
      json.Str("cryptedPassword", HexBytes(reversed, 6)).Str("serialNumber", m.SerialNumber);
      Print(json, "crypted password: " + HexBytes(reversed, 6) + "\nserial number: " + m.SerialNumber +
                      "\nGive both to the maker.\n");
      break;
    }
    case TZolctlCommand::History:
      History();
      break;
    case TZolctlCommand::Monitor:
      Monitor();
      break;
    case TZolctlCommand::Ping: {
      Flush();
      ZOL->Ping();
      bool answered = false;
      const TZOLModel m = Expect("the ping echo", [&](const TEventRecord &e) {
                            if (e.Kind == TEvent::Answer && e.Code == CodeOf(TCommand::Ping))
                              answered = true;
                            return answered && e.Kind == TEvent::State;
                          }).Snapshot;
      json.Bool("pingError", m.PingError);
      Print(json, m.PingError ? "ping: the echo differs\n" : "ping: ok\n");
      if (m.PingError)
        throw TExit{ZolctlExit::NoInstrument, "The instrument's ping echo differs from the pattern"};
      break;
    }
    case TZolctlCommand::Info: {
      Flush();
      ZOL->ReadInfo();
      const std::string info = Expect("the information block", TEvent::Info).Snapshot.InfoText;
      const bool programmed = info.rfind("C1FFFF", 0) == 0;
      json.Str("info", info).Bool("usbFirmwareProgrammed", programmed);
      Print(json, "info: " + info + "\nUSB interface firmware: " +
                      (programmed ? "programmed" : "not programmed") + "\n");
      break;
    }
    case TZolctlCommand::AdjustZero:
    case TZolctlCommand::AdjustFullScale:
    case TZolctlCommand::ResetAll: {
      RequireUnlocked(state);
      Flush();
      TCommand code = TCommand::AdjustZero;
      if (Options.Command == TZolctlCommand::AdjustZero) {
        ZOL->AdjustZero();
      } else if (Options.Command == TZolctlCommand::AdjustFullScale) {
        code = TCommand::AdjustFullScale;
        ZOL->AdjustFullScale();
      } else {
        code = TCommand::ResetAll;
        ZOL->ResetAll();
      }
      Expect("the instrument's answer", [&](const TEventRecord &e) {
        return e.Kind == TEvent::Answer && e.Code == CodeOf(code);
      });
      json.Bool("done", true);
      Print(json, "done\n");
      break;
    }
    case TZolctlCommand::List:
    case TZolctlCommand::Show:
      break;
    }
    return ZolctlExit::Done;
  } catch (const TExit &e) {
    if (!e.Message.empty())
      Err << "zolctl: " << e.Message << '\n';
    return e.Code;
  } catch (const ERangeError &e) {
    Err << "zolctl: " << e.what() << "; nothing was sent\n";
    return ZolctlExit::Usage;
  } catch (const std::exception &e) {
    Err << "zolctl: " << e.what() << '\n';
    return ZolctlExit::NoInstrument;
  }
}

} // namespace

int RunZolctl(const TZolctlOptions &Options, std::ostream &Out, std::ostream &Err) {
  Session session(Options, Out, Err);
  return session.Run();
}

int ZolctlMain(const std::vector<std::string> &Args, std::ostream &Out, std::ostream &Err) {
  const TZolctlParse parse = ParseZolctlArgs(Args);
  if (!parse.Help.empty()) {
    Out << parse.Help;
    return ZolctlExit::Done;
  }
  if (!parse.Error.empty() || !parse.Options) {
    Err << "zolctl: " << parse.Error << "\n(zolctl --help lists the commands)\n";
    return ZolctlExit::Usage;
  }
  return RunZolctl(*parse.Options, Out, Err);
}

void ZolctlInterrupt() { Interrupted.store(true); }

} // namespace zol
