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
  int None = 0;
  Interrupted.compare_exchange_strong(None, Status);
  std::lock_guard Lock(SessionsMutex);
  if (Live) {
    // Nothing more goes out from here on; a write under way ends first.
    Live->Tap->Shut();
    std::lock_guard Events(Live->EventsMutex);
    Live->EventsChanged.notify_all();
  }
}

int InterruptStatus() {
  return Interrupted.load();
}

TSession::TSession(const TZolctlOptions &GivenOptions, HidPlatform &Platform,
                   std::ostream &GivenOut, std::ostream &GivenErr)
    : Options(GivenOptions), Out(GivenOut), Err(GivenErr), Inner(Platform) {
  Tap = std::make_unique<TracePlatform>(Inner, Options.Trace ? &Err : nullptr, Options.ShowSecrets);
  if (Options.Sim)
    // The lag is the host's: it holds for every instrument, whatever K: says.
    for (const TSimFault &Fault : Options.SimFaults)
      if (Fault.Kind == TSimFaultKind::Lag)
        Tap->SetLag(Fault.Number);
  Tap->SetAnswerListener([this](std::uint8_t Code) { Push({TEvent::Answer, Code, {}, {}, {}}); });
  LastState = Clock::now();
  ZOL = std::make_unique<TCustomZOL>(*Tap);

  auto On = [this](TEvent Kind) {
    return [this, Kind](TObject *) { Push({Kind, 0, ZOL->Snapshot(), {}, {}}); };
  };
  ZOL->OnConnect = On(TEvent::Connect);
  ZOL->OnDisconnect = On(TEvent::Disconnect);
  ZOL->OnUpdateState = On(TEvent::State);
  ZOL->OnError = On(TEvent::Error);
  ZOL->OnUnlockDevice = On(TEvent::Unlocked);
  ZOL->OnUpdateAlarm1 = On(TEvent::Alarm1);
  ZOL->OnUpdateAlarm2 = On(TEvent::Alarm2);
  ZOL->OnUpdateFilter = On(TEvent::Filter);
  ZOL->OnUpdateTag = On(TEvent::Tag);
  ZOL->OnUpdateInfo = On(TEvent::Info);
  ZOL->OnReadAll = On(TEvent::ReadAll);
  ZOL->OnWriteAll = On(TEvent::WriteAll);
  ZOL->OnGetCryptedPassword = On(TEvent::Crypted);
  ZOL->OnUpdateWROP = [this](TPtrWROP Record) { Push({TEvent::WROP, 0, {}, *Record, {}}); };
  ZOL->OnChainError = [this](TObject *, const TError &Error) {
    Push({TEvent::ChainError, 0, {}, {}, Worded(Error)});
  };
  std::lock_guard Lock(SessionsMutex);
  Live = this;
  // Interrupted before this session was seen: it sends nothing.
  if (Interrupted.load() != 0)
    Tap->Shut();
}

TSession::~TSession() {
  {
    std::lock_guard Lock(SessionsMutex);
    if (Live == this)
      Live = nullptr;
  }
  ZOL->Close();
}

void TSession::Push(TEventRecord Record) {
  std::lock_guard Lock(EventsMutex);
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
  std::lock_guard Lock(EventsMutex);
  return LastState;
}

long TSession::DroppedEvents() const {
  std::lock_guard Lock(EventsMutex);
  return Dropped;
}

TCustomZOL &TSession::Zol() {
  if (const int Status = Interrupted.load())
    throw EInterrupted{Status};
  return *ZOL;
}

void TSession::Flush() {
  std::lock_guard Lock(EventsMutex);
  Events.clear();
}

std::optional<TEventRecord> TSession::Next(Clock::time_point Deadline) {
  std::unique_lock Lock(EventsMutex);
  EventsChanged.wait_until(Lock, Deadline,
                           [this] { return !Events.empty() || Interrupted.load() != 0; });
  if (const int Status = Interrupted.load())
    throw EInterrupted{Status};
  if (Events.empty())
    return std::nullopt;
  TEventRecord e = std::move(Events.front());
  Events.pop_front();
  return e;
}

TEventRecord TSession::Expect(const std::string &What,
                              const std::function<bool(const TEventRecord &)> &Accept) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(Options.TimeoutMs);
  for (;;) {
    std::optional<TEventRecord> e = Next(Deadline);
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
  bool Answered = false;
  return Expect(What, [&](const TEventRecord &e) {
    if (e.Kind == TEvent::Answer && e.Code == Code)
      Answered = true;
    return Answered && e.Kind == Kind;
  });
}

std::vector<std::string> TSession::Serials() {
  const int Count = ZOL->Scan();
  std::vector<std::string> Listed;
  for (int i = 0; i < Count; ++i) {
    std::string Serial;
    ZOL->Device->SerialNumber(i + 1, Serial);
    Listed.push_back(Serial);
  }
  return Listed;
}

std::vector<std::string> TSession::SerialsWithin(const std::optional<std::string> &Serial,
                                                 int Device) {
  std::vector<std::string> Listed = Serials();
  const auto Found = [&] {
    if (Serial)
      return std::find(Listed.begin(), Listed.end(), *Serial) != Listed.end();
    return Device < static_cast<int>(Listed.size());
  };
  if (Options.WaitSeconds <= 0 || Found())
    return Listed;
  HidPlatform &Platform = ZOL->Device->Platform();
  const bool Told = Platform.WatchArrivals(ZOL->Device->Vid, ZOL->Device->Pid);
  if (Options.Verbose)
    Err << "zolctl: waiting up to " << Options.WaitSeconds << " s for the instrument ("
        << (Told ? "the system tells when one is plugged in"
                 : "the system tells nothing of arrivals: scanning every " +
                       std::to_string(kArrivalScanEvery.count()) + " ms")
        << ")\n";
  // Told of arrivals, a scan follows each one, and one a second in case a node was not ready
  // when its news came; otherwise a scan every 250 ms.
  const auto Every = Told ? std::chrono::milliseconds(1000) : kArrivalScanEvery;
  const auto Deadline = Clock::now() + std::chrono::seconds(Options.WaitSeconds);
  std::uint64_t Seen = Told ? Platform.Arrivals() : 0;
  auto Scanned = Clock::now();
  while (!Found() && Clock::now() < Deadline) {
    {
      std::unique_lock Lock(EventsMutex);
      EventsChanged.wait_for(Lock, std::chrono::milliseconds(20),
                             [] { return Interrupted.load() != 0; });
    }
    if (const int Status = Interrupted.load())
      throw EInterrupted{Status};
    const std::uint64_t Arrivals = Told ? Platform.Arrivals() : 0;
    if (Arrivals == Seen && Clock::now() - Scanned < Every)
      continue;
    Seen = Arrivals;
    Scanned = Clock::now();
    Listed = Serials();
  }
  return Listed;
}

bool TSession::WatchArrivals() {
  HidPlatform &Platform = ZOL->Device->Platform();
  if (!Platform.WatchArrivals(ZOL->Device->Vid, ZOL->Device->Pid))
    return false;
  SeenArrivals = Platform.Arrivals();
  return true;
}

void TSession::LookOnArrival() {
  const std::uint64_t Arrivals = ZOL->Device->Platform().Arrivals();
  if (Arrivals == SeenArrivals)
    return;
  SeenArrivals = Arrivals;
  if (TUSBThread *Worker = ZOL->Device->Worker())
    Worker->LookNow();
}

TZOLModel TSession::Connect(const std::optional<std::string> &Serial, int Device) {
  const std::vector<std::string> Serials = SerialsWithin(Serial, Device);
  const int Count = static_cast<int>(Serials.size());
  if (Count == 0)
    throw TExit{ZolctlExit::NoInstrument, "No instrument found (see 'zolctl list')"};
  int Index = Device;
  if (Serial) {
    Index = -1;
    std::string Found;
    int Matches = 0;
    for (int i = 0; i < Count; ++i) {
      if (Serials[static_cast<std::size_t>(i)] == *Serial && Index < 0 &&
          Matches++ == SerialOccurrence)
        Index = i;
      Found += (i ? ", " : "") + Printable(Serials[static_cast<std::size_t>(i)]);
    }
    if (Index < 0)
      throw TExit{ZolctlExit::NoInstrument,
                  "No instrument with serial number " + Printable(*Serial) + "; found: " + Found};
  } else if (Device >= Count) {
    throw TExit{ZolctlExit::NoInstrument, "No instrument number " + std::to_string(Device) + ": " +
                                              std::to_string(Count) + " found"};
  }
  if (!ZOL->Open(Index))
    throw TExit{ZolctlExit::NoInstrument,
                "The instrument could not be opened (it is gone, its report lengths cannot be "
                "read, or it declares reports longer than this program takes)"};
  if (AfterOpen)
    AfterOpen(Index);
  Expect("the connection", TEvent::Connect);
  Expect("the tag read at connection", TEvent::Tag);
  TZOLModel State = Expect("the state after connection", TEvent::State).Snapshot;
  if (Password && State.WriteLocked) {
    if (!UnlockWith(*Password))
      throw TExit{ZolctlExit::Refused, "The instrument stays write-locked: wrong password"};
    State = Expect("the state after unlocking", TEvent::State).Snapshot;
  }
  if (Journaled)
    ReadBefore(State);
  return State;
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
  bool Answered = false;
  const TEventRecord e = Expect("the answer to the unlock command", [&](const TEventRecord &r) {
    if (r.Kind == TEvent::Answer && r.Code == CodeOf(TCommand::Unlock))
      Answered = true;
    return Answered && (r.Kind == TEvent::Unlocked || r.Kind == TEvent::State);
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
  long Count = 0;
  for (int Code = 0; Code < 256; ++Code)
    if (ChangesSettings(static_cast<std::uint8_t>(Code)))
      Count += w.Count[static_cast<std::size_t>(Code)];
  if (Count == 0)
    return "nothing that changes the instrument's settings had been sent";
  const auto Sent = [&](TCommand c) { return w.Count[CodeOf(c)] > 0; };
  const auto Last = [&](TCommand c) { return w.Last[CodeOf(c)]; };
  std::vector<std::string> Held;
  if (Sent(TCommand::SendTag1) || Sent(TCommand::SendTag2)) {
    if (Last(TCommand::SendTag1) > Last(TCommand::SendTag2))
      Held.push_back("the tag may be half-written (characters 1 to 8 new, 9 to 16 not sent)");
    else if (!Sent(TCommand::SendTag1))
      Held.push_back("the tag may be half-written (characters 9 to 16 new, 1 to 8 not sent)");
    else
      Held.push_back("the tag");
  }
  const std::pair<TCommand, const char *> KWhat[] = {
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
  for (const auto &[code, what] : KWhat)
    if (Sent(code))
      Held.push_back(what);
  std::string List;
  for (std::size_t i = 0; i < Held.size(); ++i)
    List += (i == 0 ? "" : i + 1 == Held.size() ? " and " : ", ") + Held[i];
  return std::to_string(Count) +
         " command(s) changing the instrument's settings had been sent, none after the "
         "interruption; these may have changed: " +
         List + "; check the instrument with 'zolctl read'";
}

} // namespace zol
