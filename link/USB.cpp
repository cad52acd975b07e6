#include "link/USB.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <system_error>

namespace zol {

namespace {

/// A device that opens but whose reads fail at once must not make the worker spin.
constexpr std::chrono::milliseconds kReadErrorPause{10};

std::mutex FatalHookMutex; //!< Protects FatalHook.
TFatalMessageHook FatalHook;

} // namespace

void SetFatalMessageHook(TFatalMessageHook Hook) {
  std::lock_guard Lock(FatalHookMutex);
  FatalHook = std::move(Hook);
}

void ShowFatalMessage(const std::string &Text, const std::string &Title) {
  TFatalMessageHook Hook;
  {
    std::lock_guard Lock(FatalHookMutex);
    Hook = FatalHook;
  }
  if (Hook)
    Hook(Text, Title);
  else
    std::cerr << Title << ": " << Text << '\n';
}

// ---- TUSBThread -------------------------------------------------------------------------------

TUSBThread::TUSBThread(HidPlatform &System) : Platform(System) {}

TUSBThread::~TUSBThread() {
  Stop();
  WaitFor();
}

void TUSBThread::Resume() {
  std::lock_guard Lock(StateMutex);
  SuspendRequested = false;
  if (!Started && !StopRequested.load()) {
    Thread = std::thread(&TUSBThread::Execute, this); // may throw std::system_error
    WorkerId.store(Thread.get_id());
    Started = true;
  }
  StateChanged.notify_all();
}

void TUSBThread::Suspend() {
  std::unique_lock Lock(StateMutex);
  SuspendRequested = true;
  // The worker itself cannot wait for its own park: the hook that called us is part of its turn,
  // so nothing else runs the turn concurrently anyway.
  if (!Started || Finished || OnWorkerThread())
    return;
  StateChanged.notify_all(); // cut a rest short
  // Bounded by one turn: a read waits at most kReadTimeout.
  StateChanged.wait(Lock, [this] { return Parked || Finished; });
}

bool TUSBThread::Suspended() const {
  std::lock_guard Lock(StateMutex);
  return SuspendRequested;
}

void TUSBThread::Stop() {
  StopRequested.store(true);
  std::lock_guard Lock(StateMutex);
  StateChanged.notify_all();
}

void TUSBThread::WaitFor() {
  if (OnWorkerThread())
    return; // a thread cannot join itself; the owner joins it later
  if (Thread.joinable())
    Thread.join();
}

void TUSBThread::SetPath(const std::string &NewPath) {
  std::lock_guard Lock(PathMutex);
  // The same path again keeps a kept handle: while it is held, no other device can get its node.
  const std::string_view Wanted = std::string_view(NewPath).substr(0, kMaxShortText);
  if (Wanted == Path)
    return;
  Path = Wanted;
  ++PathGeneration;
}

std::string TUSBThread::LinkedPath() const {
  std::lock_guard Lock(PathMutex);
  return Path;
}

void TUSBThread::AdoptHandle(HidHandle Handle) {
  if (Handle == kInvalidHidHandle)
    return;
  if (!Platform.KeepsDevicesOpen()) {
    Platform.Close(Handle);
    return;
  }
  if (Kept != kInvalidHidHandle)
    Platform.Close(Kept);
  Kept = Handle;
  KeptGeneration = PathGeneration;
}

void TUSBThread::Configure(const std::function<void(TSettings &)> &Change) {
  {
    std::lock_guard Lock(StateMutex);
    if (Started && !Finished && !(SuspendRequested && Parked) && !OnWorkerThread())
      throw std::logic_error("TUSBThread::Configure while the worker runs");
  }
  TSettings Settings{Identity, InputLength, ReceiveHook, DisconnectHook, ConnectHook};
  Change(Settings);
  Identity = std::move(Settings.Identity);
  InputLength = Settings.InputLength;
  ReceiveHook = std::move(Settings.ReceiveHook);
  DisconnectHook = std::move(Settings.DisconnectHook);
  ConnectHook = std::move(Settings.ConnectHook);
  Connected = false;
  LinkLost = false;
}

bool TUSBThread::OnWorkerThread() const {
  return WorkerId.load() == std::this_thread::get_id();
}

std::int64_t TUSBThread::QueueReport(const std::uint8_t *Report, int Length,
                                     std::chrono::milliseconds RoomTimeout) {
  if (Length <= 0 || Length > kWriteBufferSize)
    return -1;
  std::unique_lock Lock(QueueMutex);
  if (PendingSize == kPendingCapacity) {
    // The worker empties the queue one report per turn; the worker itself must not wait for it.
    if (OnWorkerThread() || !QueueChanged.wait_for(Lock, RoomTimeout, [this] {
          return PendingSize < kPendingCapacity;
        }))
      return -1;
  }
  PendingReport &Slot = Pending[(PendingHead + PendingSize) % kPendingCapacity];
  std::memcpy(Slot.Data, Report, static_cast<std::size_t>(Length));
  Slot.Length = Length;
  Slot.Ticket = NextTicket++;
  ++PendingSize;
  return Slot.Ticket;
}

bool TUSBThread::WaitReport(std::int64_t Ticket, std::chrono::milliseconds Timeout) {
  if (Ticket < 0)
    return false;
  // Sent from inside a hook: the report goes out later in this very turn.
  if (OnWorkerThread())
    return true;
  std::unique_lock Lock(QueueMutex);
  return QueueChanged.wait_for(Lock, Timeout, [this, Ticket] { return TakenTicket >= Ticket; });
}

bool TUSBThread::Taken(std::int64_t Ticket) const {
  std::lock_guard Lock(QueueMutex);
  return Ticket > 0 && TakenTicket >= Ticket;
}

int TUSBThread::PendingCount() const {
  std::lock_guard Lock(QueueMutex);
  return PendingSize;
}

void TUSBThread::DropPending() {
  std::lock_guard Lock(QueueMutex);
  if (PendingSize == 0)
    return;
  for (PendingReport &Report : Pending)
    WipeBytes(Report.Data, sizeof Report.Data);
  PendingSize = 0;
  TakenTicket = NextTicket - 1;
  QueueChanged.notify_all();
}

bool TUSBThread::WaitWhileParked() {
  std::unique_lock Lock(StateMutex);
  if (SuspendRequested && !StopRequested.load()) {
    Parked = true;
    StateChanged.notify_all();
    StateChanged.wait(Lock, [this] { return !SuspendRequested || StopRequested.load(); });
    Parked = false;
  }
  return !StopRequested.load();
}

void TUSBThread::RestFor(std::chrono::milliseconds Pause) {
  std::unique_lock Lock(StateMutex);
  StateChanged.wait_for(
      Lock, Pause, [this] { return StopRequested.load() || SuspendRequested || LookRequested; });
  LookRequested = false;
}

void TUSBThread::LookNow() {
  std::lock_guard Lock(StateMutex);
  LookRequested = true;
  StateChanged.notify_all();
}

void TUSBThread::SetPriority(TThreadPriority Priority) {
  if (Priority == CurrentPriority.load(std::memory_order_relaxed))
    return;
  if (SetCurrentThreadPriority(Priority))
    CurrentPriority.store(Priority, std::memory_order_relaxed);
}

void TUSBThread::Execute() {
  while (WaitWhileParked()) {
    Turn();
    TurnCount.fetch_add(1, std::memory_order_relaxed);
    if (StopRequested.load())
      break;
  }
  if (Kept != kInvalidHidHandle) {
    Platform.Close(Kept);
    Kept = kInvalidHidHandle;
  }
  std::lock_guard Lock(StateMutex);
  Finished = true;
  StateChanged.notify_all();
}

HidHandle TUSBThread::LinkHandle(bool &WasKept) {
  WasKept = false;
  if (Kept != kInvalidHidHandle) {
    const HidHandle Held = Kept;
    Kept = kInvalidHidHandle;
    if (KeptGeneration == PathGeneration) {
      // Nothing since the last turn said the device went: it is present, without a system call.
      if (Platform.StillThere(Held)) {
        WasKept = true;
        return Held;
      }
      // It went between two turns: a loss, even if a device is back on the path already (one
      // instrument swapped for another at once). The next turn's open decides the return.
      Platform.Close(Held);
      LinkLost = false;
      return kInvalidHidHandle;
    }
    Platform.Close(Held);
  }
  if (LinkLost) {
    // The last turn's read or write said the device went: this turn is its loss.
    LinkLost = false;
    return kInvalidHidHandle;
  }
  if (Path.empty())
    return kInvalidHidHandle;
  // Where paths are handed out again, the path may hold another device by now: one with other
  // ids, or another serial number (or one where the instrument has none, or none where it has
  // one), is never opened (it would be written to) and never taken for the instrument selected.
  if (Identity.HasIds() && Platform.ReusesPaths() &&
      Platform.MatchIdentity(Path, Identity) != HidIdentityMatch::Same)
    return kInvalidHidHandle;
  const HidHandle Handle = Platform.Open(Path);
  KeptGeneration = PathGeneration;
  return Handle;
}

void TUSBThread::EndLink(HidHandle Handle, bool ReadFailed) {
  if (Kept != kInvalidHidHandle) {
    // A selection made from a handler of this turn handed over its own handle meanwhile.
    Platform.Close(Handle);
    return;
  }
  const bool StillThere = Platform.StillThere(Handle);
  // Kept only after a turn whose read proved the device there: a turn without a read (lengths
  // unknown) or with a failed one leaves presence to the next open, as on every system.
  if (Platform.KeepsDevicesOpen() && InputLength != 0 && !ReadFailed && !StopRequested.load() &&
      StillThere) {
    Kept = Handle;
    return;
  }
  // A device the system says has gone is lost, whatever the next open of its path finds.
  if (!StillThere)
    LinkLost = true;
  Platform.Close(Handle);
}

int TUSBThread::ReadToNewest(HidHandle Handle, int Count, bool &ReadFailed) {
  // A kept handle queues the reports that came while the worker was busy elsewhere; each turn
  // takes the newest, which carries the instrument's answer to the latest command it took. An
  // older one holds only answers the instrument itself has moved on from.
  for (int i = 1; i < kMaxReportsPerTurn; ++i) {
    const int n = Platform.Read(Handle, SpareBuffer, InputLength, 0);
    if (n <= 0) {
      ReadFailed = n < 0;
      break;
    }
    std::memcpy(ReadBuffer, SpareBuffer, static_cast<std::size_t>(n));
    Count = n;
  }
  return Count;
}

void TUSBThread::FollowInstrument() {
  // Without a serial number the instrument cannot be told on another path from another of its
  // kind: it is looked for on its own path only.
  if (!Identity.Known() || !Platform.ReusesPaths())
    return;
  std::string Found;
  if (Platform.FindIdentity(Identity, Found) && !Found.empty() && Found != Path)
    SetPath(Found);
}

void TUSBThread::Turn() {
  TThreadPriority Priority = TThreadPriority::Idle;
  bool WasKept = false;
  const HidHandle Handle = LinkHandle(WasKept);

  if (Handle == kInvalidHidHandle) {
    if (Connected && DisconnectHook)
      DisconnectHook(this);
    Connected = false;
    DropPending();
    // Replugged while a handle was still open, the instrument comes back on another path.
    FollowInstrument();
    SetPriority(Priority);
    RestFor(kAbsentPause);
    return;
  }

  if (!Connected && ConnectHook)
    ConnectHook(this);
  Connected = true;

  bool ReadFailed = false;
  if (InputLength != 0) {
    Priority = TThreadPriority::Normal;
    int Count = Platform.Read(Handle, ReadBuffer, InputLength, kReadTimeout.count());
    if (Count > 0 && WasKept)
      Count = ReadToNewest(Handle, Count, ReadFailed);
    if (Count > 0) {
      if (ReceiveHook)
        ReceiveHook(this, Count);
    } else if (Count < 0) {
      ReadFailed = true;
    }
  }

  // One waiting report per turn, oldest first. It leaves the queue only once written whole.
  int Length = 0;
  std::int64_t Ticket = 0;
  {
    std::lock_guard Lock(QueueMutex);
    if (PendingSize > 0) {
      const PendingReport &Head = Pending[PendingHead];
      std::memcpy(WriteBuffer, Head.Data, static_cast<std::size_t>(Head.Length));
      Length = Head.Length;
      Ticket = Head.Ticket;
    }
  }
  if (Length > 0) {
    Priority = TThreadPriority::Normal;
    if (Platform.Write(Handle, WriteBuffer, Length) == Length) {
      std::lock_guard Lock(QueueMutex);
      // A report may carry a password: nothing of it stays once it is out.
      WipeBytes(Pending[PendingHead].Data, static_cast<std::size_t>(Length));
      WipeBytes(WriteBuffer, static_cast<std::size_t>(Length));
      // DropPending cannot have run meanwhile: only this thread drops.
      PendingHead = (PendingHead + 1) % kPendingCapacity;
      --PendingSize;
      TakenTicket = Ticket;
      QueueChanged.notify_all();
    }
  }

  EndLink(Handle, ReadFailed);
  SetPriority(Priority);

  // Without input to wait on, a turn would return at once: rest instead of spinning.
  if (InputLength == 0 && Length == 0)
    RestFor(kAbsentPause);
  else if (ReadFailed && Length == 0)
    RestFor(kReadErrorPause);
}

// ---- TCustomUSB -------------------------------------------------------------------------------

TCustomUSB::TCustomUSB(HidPlatform &Platform) : PlatformRef(Platform) {
  Thread = std::make_unique<TUSBThread>(Platform);
  Thread->SetPath({});
}

TCustomUSB::~TCustomUSB() {
  CloseDevice();
}

int TCustomUSB::WriteFrame(const std::uint8_t *Report, int L) {
  if (!Thread)
    return -1;
  const std::int64_t Ticket = Thread->QueueReport(Report, L, kSendTimeout);
  return Thread->WaitReport(Ticket, kSendTimeout) ? L : -1;
}

bool TCustomUSB::SelectDevice(int Index) {
  return SelectPath(Index, true);
}

bool TCustomUSB::SelectPath(int Index, bool ResumeWorker, HidHandle *Opened) {
  if (Opened)
    *Opened = kInvalidHidHandle;
  const int n = Enumerate();
  if (n == 0 || Index < 0 || Index > n - 1 || !Thread)
    return false;
  Thread->Suspend();
  std::string Path;
  DevicePath(Index, Path);
  if (Path.size() > kMaxShortText)
    Path.resize(kMaxShortText);
  HidPlatform &Hid = Platform();
  // Who the instrument is, where a path alone does not say it: the worker checks it at every
  // connection and follows the instrument when the system gives it another path.
  HidIdentity Identity;
  const bool WantIdentity = Hid.ReusesPaths();
  const HidHandle Handle =
      (Path.empty() || (!Opened && !WantIdentity)) ? kInvalidHidHandle : Hid.Open(Path);
  if (Handle != kInvalidHidHandle && WantIdentity) {
    HidAttributes Attributes;
    if (Hid.GetAttributes(Handle, Attributes)) {
      // A device that gives no serial number is known by its ids alone.
      std::string Serial;
      if (!Hid.GetSerialNumberString(Handle, Serial))
        Serial.clear();
      Identity = {Attributes.VendorID, Attributes.ProductID, Serial.substr(0, kMaxShortText)};
    }
  }
  if (Opened)
    *Opened = Handle;
  else if (Handle != kInvalidHidHandle)
    Hid.Close(Handle);
  Thread->SetPath(Path);
  {
    std::lock_guard Lock(SelectionMutex);
    SelectedIndex = Index;
    SelectedPath = Path;
  }
  // The next successful open raises OnConnect again, also for the same device.
  Thread->Configure([&](TUSBThread::TSettings &Settings) {
    Settings.Identity = Identity;
    Settings.ReceiveHook = [this](TObject *Sender, int Count) { DoRXFrame(Sender, Count); };
    Settings.DisconnectHook = [this](TObject *Sender) { DoDisconnect(Sender); };
    Settings.ConnectHook = [this](TObject *Sender) { DoConnect(Sender); };
  });
  if (!ResumeWorker)
    return true;
  try {
    Thread->Resume();
  } catch (const std::system_error &) {
    ShowFatalMessage("BUG", "TUSBThread.Create()");
    return false;
  }
  return true;
}

std::string TCustomUSB::PathOfEntry(int Index, const std::string &Listed) const {
  {
    std::lock_guard Lock(SelectionMutex);
    if (Index != SelectedIndex || Listed != SelectedPath || !Thread)
      return Listed;
  }
  return Thread->LinkedPath();
}

bool TCustomUSB::Following() const {
  std::lock_guard Lock(SelectionMutex);
  return SelectedIndex >= 0 && Thread != nullptr;
}

void TCustomUSB::CloseDevice() {
  if (!Thread)
    return;
  Thread->Stop();
  if (Thread->OnWorkerThread())
    return; // called from a handler: the owner joins the worker later
  Thread->WaitFor();
  Thread.reset();
}

void TCustomUSB::DoRXFrame(TObject *, int Count) {
  ReceivedLength.store(Count, std::memory_order_relaxed);
  if (OnRXFrame)
    OnRXFrame(this);
}

void TCustomUSB::DoConnect(TObject *) {
  if (OnConnect)
    OnConnect(this);
}

void TCustomUSB::DoDisconnect(TObject *) {
  if (OnDisconnect)
    OnDisconnect(this);
}

// ---- THIDDevice -------------------------------------------------------------------------------

THIDDevice::THIDDevice(HidPlatform &Platform) : TCustomUSB(Platform) {}

THIDDevice::~THIDDevice() {
  CloseDevice();
}

int THIDDevice::Enumerate() {
  Items.Clear();
  HidPlatform &Hid = Platform();
  for (const std::string &Path : Hid.ListInterfaces(ViewRegisteredDevices)) {
    if (Path.empty())
      continue;
    const HidHandle Handle = Hid.Open(Path);
    if (Handle == kInvalidHidHandle)
      continue;
    HidAttributes Attributes;
    const bool Known = Hid.GetAttributes(Handle, Attributes);
    Hid.Close(Handle);
    if (Known && Attributes.VendorID == Vid && Attributes.ProductID == Pid)
      Items.Add(Path);
  }
  return Items.Count();
}

void THIDDevice::DevicePath(int Index, std::string &Path) {
  Path = Items.Get(Index);
}

void THIDDevice::Manufacturer(int n, std::string &Text) {
  QueryIdentity(n, IdentityString::Manufacturer, Text);
}

void THIDDevice::Product(int n, std::string &Text) {
  QueryIdentity(n, IdentityString::Product, Text);
}

void THIDDevice::SerialNumber(int n, std::string &Text) {
  QueryIdentity(n, IdentityString::SerialNumber, Text);
}

void THIDDevice::QueryIdentity(int n, IdentityString Which, std::string &Text) {
  Text.clear();
  if (n > Items.Count())
    return;
  // The selected instrument is asked where the worker links to: after a replug the listed path
  // may hold another instrument.
  const std::string Path = PathOfEntry(n - 1, Items.Get(n - 1));
  HidPlatform &Hid = Platform();
  const HidHandle Handle = Path.empty() ? kInvalidHidHandle : Hid.Open(Path);
  if (Which == IdentityString::SerialNumber)
    Text = "unknown";
  if (Handle == kInvalidHidHandle)
    return;
  std::string Value;
  bool Ok = false;
  switch (Which) {
  case IdentityString::Manufacturer:
    Ok = Hid.GetManufacturerString(Handle, Value);
    break;
  case IdentityString::Product:
    Ok = Hid.GetProductString(Handle, Value);
    break;
  case IdentityString::SerialNumber:
    Ok = Hid.GetSerialNumberString(Handle, Value);
    break;
  }
  Hid.Close(Handle);
  if (Ok)
    Text = Value;
}

bool THIDDevice::OpenDevice(int Index) {
  // The worker stays parked until the report lengths are known: a connection handler that sends
  // at once (the clock) must find the output length set, or its report would be lost.
  HidHandle Handle = kInvalidHidHandle;
  OpenError.clear();
  if (!SelectPath(Index, false, &Handle)) {
    OpenError = "no such device in the list";
    return false;
  }
  bool Result = true;
  HidPlatform &Hid = Platform();
  if (Handle == kInvalidHidHandle) {
    // Listed at the scan, gone (or closed to us) at the selection: neither its report lengths
    // nor who it is are known, and whatever comes on its path later could be another device.
    // The worker is left without a path.
    const std::string Why = Hid.LastOpenError();
    OpenError = "the device could not be opened" + (Why.empty() ? std::string() : ": " + Why);
    Result = false;
    Thread->SetPath({});
  } else {
    HidReportLengths Lengths;
    if (!Hid.GetReportLengths(Handle, Lengths)) {
      OpenError = "the device's report lengths could not be read";
      Result = false;
    } else if (Lengths.InputReportByteLength < 0 ||
               Lengths.InputReportByteLength > kReadBufferSize ||
               Lengths.OutputReportByteLength < 0 ||
               Lengths.OutputReportByteLength > kMaxOutputReportLength) {
      // Reports longer than the buffers would be cut or overrun: refuse the device rather than
      // trust its declaration, and leave the worker without a path.
      OpenError = "the device declares reports longer than the channel holds";
      Result = false;
      Thread->SetPath({});
      Thread->Configure([](TUSBThread::TSettings &Settings) { Settings.Identity = {}; });
    } else {
      Capabilities = Lengths;
      Thread->Configure([&](TUSBThread::TSettings &Settings) {
        Settings.InputLength = Lengths.InputReportByteLength;
      });
      OutputLength.store(Lengths.OutputReportByteLength);
      // The worker's first turn needs no open of its own (about 60 ms on Linux).
      Thread->AdoptHandle(Handle);
      Handle = kInvalidHidHandle;
    }
    if (Handle != kInvalidHidHandle)
      Hid.Close(Handle);
  }
  try {
    Thread->Resume();
  } catch (const std::system_error &) {
    ShowFatalMessage("BUG", "TUSBThread.Create()");
    return false;
  }
  return Result;
}

int THIDDevice::ReadFrame(std::uint8_t *Destination, int n) {
  n = std::clamp(n, 0, kReadBufferSize - 1);
  if (Thread)
    std::memcpy(Destination, Thread->LastReport() + 1, static_cast<std::size_t>(n));
  else
    std::memset(Destination, 0, static_cast<std::size_t>(n));
  return n;
}

std::int64_t THIDDevice::QueueFrame(const std::uint8_t *Data, int n) {
  const int Length = OutputLength.load();
  if (!Thread || Length <= 0)
    return -1;
  std::uint8_t Report[kMaxOutputReportLength]{};
  Report[0] = 0; // report id
  const int Carried = std::clamp(std::min(n, Length - 1), 0, kMaxOutputReportLength - 1);
  std::memcpy(Report + 1, Data, static_cast<std::size_t>(Carried));
  // Never waits for room: callers queue under their own lock, which the worker may need.
  const std::int64_t Ticket = Thread->QueueReport(Report, Length, std::chrono::milliseconds{0});
  WipeBytes(Report, sizeof Report);
  return Ticket;
}

int THIDDevice::WaitFrame(std::int64_t Ticket) {
  const bool OnWorker = Thread && Thread->OnWorkerThread();
  if (Ticket < 0) {
    // Nothing could be queued; a sender still sees the usual bound before it learns so.
    if (!OnWorker)
      std::this_thread::sleep_for(kSendTimeout);
    return -2;
  }
  return Thread->WaitReport(Ticket, kSendTimeout) ? OutputLength.load() - 1 : -2;
}

int THIDDevice::WriteFrame(const std::uint8_t *Data, int n) {
  return WaitFrame(QueueFrame(Data, n));
}

bool THIDDevice::FrameTaken(std::int64_t Ticket) const {
  return Thread && Thread->Taken(Ticket);
}

} // namespace zol
