#include "tools/ZolctlSession.h"

#include "tools/ZolctlOutput.h"
#include "tools/ZolctlWords.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <utility>
#include <vector>

namespace zol {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> Interrupted{0};
std::mutex SessionsMutex; //!< Protects Live.
TSession *Live = nullptr; // the session whose waits an interruption wakes

/// Commands that change what the instrument holds (the clock and the lock aside): the writes it
/// records in its history, and the reset to factory settings.
bool ChangesSettings(std::uint8_t Code) {
  return IsRecordedWrite(Code) || Code == static_cast<std::uint8_t>(TCommand::ResetAll);
}

} // namespace

void InterruptWaits(int Status) {
  int none = 0;
  Interrupted.compare_exchange_strong(none, Status);
  std::lock_guard lock(SessionsMutex);
  if (Live) {
    // Nothing more goes out from here on; a write under way ends first.
    Live->Tap->Shut();
    std::lock_guard events(Live->EventsMutex);
    Live->EventsChanged.notify_all();
  }
}

int InterruptStatus() {
  return Interrupted.load();
}

TSession::TSession(const TZolctlOptions &Options_, HidPlatform &Platform_, std::ostream &Out_,
                   std::ostream &Err_)
    : Options(Options_), Out(Out_), Err(Err_), Inner(Platform_) {
  Tap = std::make_unique<TracePlatform>(Inner, Options.Trace ? &Err : nullptr, Options.ShowSecrets);
  if (Options.Sim)
    // The lag is the host's: it holds for every instrument, whatever K: says.
    for (const TSimFault &fault : Options.SimFaults)
      if (fault.Kind == TSimFaultKind::Lag)
        Tap->SetLag(fault.Number);
  Tap->SetAnswerListener([this](std::uint8_t Code) { Push({TEvent::Answer, Code, {}, {}, {}}); });
  LastState = Clock::now();
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
  ZOL->OnUpdateWROP = [this](TPtrWROP Record) { Push({TEvent::WROP, 0, {}, *Record, {}}); };
  ZOL->OnChainError = [this](TObject *, const TError &Error) {
    Push({TEvent::ChainError, 0, {}, {}, Worded(Error)});
  };
  std::lock_guard lock(SessionsMutex);
  Live = this;
  // Interrupted before this session was seen: it sends nothing.
  if (Interrupted.load() != 0)
    Tap->Shut();
}

TSession::~TSession() {
  {
    std::lock_guard lock(SessionsMutex);
    if (Live == this)
      Live = nullptr;
  }
  ZOL->Close();
}

void TSession::Push(TEventRecord Record) {
  std::lock_guard lock(EventsMutex);
  if (Record.Kind == TEvent::State)
    LastState = Clock::now();
  if (Events.size() >= kMaxQueuedEvents) {
    Events.pop_front();
    ++Dropped;
  }
  Events.push_back(std::move(Record));
  EventsChanged.notify_all();
}

Clock::time_point TSession::LastStateArrival() const {
  std::lock_guard lock(EventsMutex);
  return LastState;
}

long TSession::DroppedEvents() const {
  std::lock_guard lock(EventsMutex);
  return Dropped;
}

TCustomZOL &TSession::Zol() {
  if (const int status = Interrupted.load())
    throw EInterrupted{status};
  return *ZOL;
}

void TSession::Flush() {
  std::lock_guard lock(EventsMutex);
  Events.clear();
}

std::optional<TEventRecord> TSession::Next(Clock::time_point Deadline) {
  std::unique_lock lock(EventsMutex);
  EventsChanged.wait_until(lock, Deadline,
                           [this] { return !Events.empty() || Interrupted.load() != 0; });
  if (const int status = Interrupted.load())
    throw EInterrupted{status};
  if (Events.empty())
    return std::nullopt;
  TEventRecord e = std::move(Events.front());
  Events.pop_front();
  return e;
}

TEventRecord TSession::Expect(const std::string &What,
                              const std::function<bool(const TEventRecord &)> &Accept) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(Options.TimeoutMs);
  for (;;) {
    std::optional<TEventRecord> e = Next(deadline);
    if (!e)
      throw TExit{ZolctlExit::NoInstrument, "No answer in time: " + What + " did not come within " +
                                                std::to_string(Options.TimeoutMs) + " ms"};
    if (Accept(*e))
      return std::move(*e);
    if (e->Kind == TEvent::Disconnect)
      throw TExit{ZolctlExit::NoInstrument,
                  "The instrument was unplugged while waiting for " + What};
    if (e->Kind == TEvent::ChainError)
      throw TExit{ZolctlExit::Usage, e->Message};
    if (e->Kind == TEvent::Error)
      throw TExit{ZolctlExit::Refused,
                  "The instrument answered with an error (0xFF) while waiting for " + What};
  }
}

TEventRecord TSession::Expect(const std::string &What, TEvent Kind) {
  return Expect(What, [Kind](const TEventRecord &e) { return e.Kind == Kind; });
}

TEventRecord TSession::ExpectAfterAnswer(const std::string &What, std::uint8_t Code, TEvent Kind) {
  // The instrument repeats its previous answer until it acts on the command: an event of Kind
  // before the answer to Code is an old one.
  bool answered = false;
  return Expect(What, [&](const TEventRecord &e) {
    if (e.Kind == TEvent::Answer && e.Code == Code)
      answered = true;
    return answered && e.Kind == Kind;
  });
}

std::vector<std::string> TSession::Serials() {
  const int count = ZOL->Scan();
  std::vector<std::string> serials;
  for (int i = 0; i < count; ++i) {
    std::string serial;
    ZOL->Device->SerialNumber(i + 1, serial);
    serials.push_back(serial);
  }
  return serials;
}

std::vector<std::string> TSession::SerialsWithin(const std::optional<std::string> &Serial,
                                                 int Device) {
  std::vector<std::string> serials = Serials();
  const auto found = [&] {
    if (Serial)
      return std::find(serials.begin(), serials.end(), *Serial) != serials.end();
    return Device < static_cast<int>(serials.size());
  };
  if (Options.WaitSeconds <= 0 || found())
    return serials;
  HidPlatform &platform = ZOL->Device->Platform();
  const bool told = platform.WatchArrivals(ZOL->Device->Vid, ZOL->Device->Pid);
  if (Options.Verbose)
    Err << "zolctl: waiting up to " << Options.WaitSeconds << " s for the instrument ("
        << (told ? "the system tells when one is plugged in"
                 : "the system tells nothing of arrivals: scanning every " +
                       std::to_string(kArrivalScanEvery.count()) + " ms")
        << ")\n";
  // Told of arrivals, a scan follows each one, and one a second in case a node was not ready
  // when its news came; otherwise a scan every 250 ms.
  const auto every = told ? std::chrono::milliseconds(1000) : kArrivalScanEvery;
  const auto deadline = Clock::now() + std::chrono::seconds(Options.WaitSeconds);
  std::uint64_t seen = told ? platform.Arrivals() : 0;
  auto scanned = Clock::now();
  while (!found() && Clock::now() < deadline) {
    {
      std::unique_lock lock(EventsMutex);
      EventsChanged.wait_for(lock, std::chrono::milliseconds(20),
                             [this] { return Interrupted.load() != 0; });
    }
    if (const int status = Interrupted.load())
      throw EInterrupted{status};
    const std::uint64_t arrivals = told ? platform.Arrivals() : 0;
    if (arrivals == seen && Clock::now() - scanned < every)
      continue;
    seen = arrivals;
    scanned = Clock::now();
    serials = Serials();
  }
  return serials;
}

bool TSession::WatchArrivals() {
  HidPlatform &platform = ZOL->Device->Platform();
  if (!platform.WatchArrivals(ZOL->Device->Vid, ZOL->Device->Pid))
    return false;
  SeenArrivals = platform.Arrivals();
  return true;
}

void TSession::LookOnArrival() {
  const std::uint64_t arrivals = ZOL->Device->Platform().Arrivals();
  if (arrivals == SeenArrivals)
    return;
  SeenArrivals = arrivals;
  if (TUSBThread *worker = ZOL->Device->Worker())
    worker->LookNow();
}

TZOLModel TSession::Connect(const std::optional<std::string> &Serial, int Device) {
  const std::vector<std::string> serials = SerialsWithin(Serial, Device);
  const int count = static_cast<int>(serials.size());
  if (count == 0)
    throw TExit{ZolctlExit::NoInstrument, "No instrument found (see 'zolctl list')"};
  int index = Device;
  if (Serial) {
    index = -1;
    std::string found;
    int matches = 0;
    for (int i = 0; i < count; ++i) {
      if (serials[static_cast<std::size_t>(i)] == *Serial && index < 0 &&
          matches++ == SerialOccurrence)
        index = i;
      found += (i ? ", " : "") + Printable(serials[static_cast<std::size_t>(i)]);
    }
    if (index < 0)
      throw TExit{ZolctlExit::NoInstrument,
                  "No instrument with serial number " + Printable(*Serial) + "; found: " + found};
  } else if (Device >= count) {
    throw TExit{ZolctlExit::NoInstrument, "No instrument number " + std::to_string(Device) + ": " +
                                              std::to_string(count) + " found"};
  }
  if (!ZOL->Open(index))
    throw TExit{ZolctlExit::NoInstrument,
                "The instrument could not be opened (it is gone, its report lengths cannot be "
                "read, or it declares reports longer than this program takes)"};
  if (AfterOpen)
    AfterOpen(index);
  Expect("the connection", TEvent::Connect);
  Expect("the tag read at connection", TEvent::Tag);
  TZOLModel state = Expect("the state after connection", TEvent::State).Snapshot;
  if (Password && state.WriteLocked) {
    if (!UnlockWith(*Password))
      throw TExit{ZolctlExit::Refused, "The instrument stays write-locked: wrong password"};
    state = Expect("the state after unlocking", TEvent::State).Snapshot;
  }
  if (Journaled)
    ReadBefore(state);
  return state;
}

void TSession::ReadBefore(const TZOLModel &State) {
  Identity = State;
  // What cannot be read is left out of the record; the command itself finds out why.
  try {
    Flush();
    Zol().ReadInfo();
    Identity->InfoText = Expect("the information block", TEvent::Info).Snapshot.InfoText;
  } catch (const TExit &) {
  }
  try {
    Flush();
    Zol().ReadAll();
    Before = Expect("the settings before the command", TEvent::ReadAll).Snapshot.Settings;
  } catch (const TExit &) {
  }
}

std::optional<TZOLSettings> TSession::ReadSettingsBack() {
  try {
    Flush();
    Zol().ReadAll();
    return Expect("the settings read back for the journal", TEvent::ReadAll).Snapshot.Settings;
  } catch (const TExit &) {
    return std::nullopt;
  }
}

bool TSession::UnlockWith(const std::string &Pw) {
  Flush();
  ZOL->Unlock(Pw);
  bool answered = false;
  const TEventRecord e = Expect("the answer to the unlock command", [&](const TEventRecord &r) {
    if (r.Kind == TEvent::Answer && r.Code == CodeOf(TCommand::Unlock))
      answered = true;
    return answered && (r.Kind == TEvent::Unlocked || r.Kind == TEvent::State);
  });
  return e.Kind == TEvent::Unlocked || !e.Snapshot.WriteLocked;
}

void TSession::RequireUnlocked(const TZOLModel &State) const {
  if (State.WriteLocked)
    throw TExit{ZolctlExit::Refused, "The instrument is write-locked: unlock it with "
                                     "--password-file FILE, ZOLCTL_PASSWORD or 'zolctl unlock'"};
}

std::string TSession::SentNote() const {
  Tap->Shut();
  const TracePlatform::TWritten w = Tap->Written();
  long count = 0;
  for (int code = 0; code < 256; ++code)
    if (ChangesSettings(static_cast<std::uint8_t>(code)))
      count += w.Count[static_cast<std::size_t>(code)];
  if (count == 0)
    return "nothing that changes the instrument's settings had been sent";
  const auto sent = [&](TCommand c) { return w.Count[CodeOf(c)] > 0; };
  const auto last = [&](TCommand c) { return w.Last[CodeOf(c)]; };
  std::vector<std::string> held;
  if (sent(TCommand::SendTag1) || sent(TCommand::SendTag2)) {
    if (last(TCommand::SendTag1) > last(TCommand::SendTag2))
      held.push_back("the tag may be half-written (characters 1 to 8 new, 9 to 16 not sent)");
    else if (!sent(TCommand::SendTag1))
      held.push_back("the tag may be half-written (characters 9 to 16 new, 1 to 8 not sent)");
    else
      held.push_back("the tag");
  }
  const std::pair<TCommand, const char *> kWhat[] = {
      {TCommand::SendFilter, "the filter"},
      {TCommand::SendAlarm1, "alarm 1"},
      {TCommand::SendAlarm2, "alarm 2"},
      {TCommand::ChangePassword, "the password"},
      {TCommand::AdjustZero, "the zero adjustment"},
      {TCommand::AdjustFullScale, "the full-scale adjustment"},
      {TCommand::ProgramFirmware, "the USB interface firmware (programmed)"},
      {TCommand::EraseFirmware, "the USB interface firmware (erased)"},
      {TCommand::EraseFirmwareMemory, "the USB interface firmware (erased)"},
      {TCommand::ResetAll, "every setting (returned to the factory values)"},
  };
  for (const auto &[code, what] : kWhat)
    if (sent(code))
      held.push_back(what);
  std::string list;
  for (std::size_t i = 0; i < held.size(); ++i)
    list += (i == 0 ? "" : i + 1 == held.size() ? " and " : ", ") + held[i];
  return std::to_string(count) +
         " command(s) changing the instrument's settings had been sent, none after the "
         "interruption; these may have changed: " +
         list + "; check the instrument with 'zolctl read'";
}

} // namespace zol
