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

void SetFatalMessageHook(TFatalMessageHook hook) {
  std::lock_guard lock(FatalHookMutex);
  FatalHook = std::move(hook);
}

void ShowFatalMessage(const std::string &Text, const std::string &Title) {
  TFatalMessageHook hook;
  {
    std::lock_guard lock(FatalHookMutex);
    hook = FatalHook;
  }
  if (hook)
    hook(Text, Title);
  else
    std::cerr << Title << ": " << Text << '\n';
}

// ---- TUSBThread -------------------------------------------------------------------------------

TUSBThread::TUSBThread(HidPlatform &Platform) : Platform(Platform) {}

TUSBThread::~TUSBThread() {
  Stop();
  WaitFor();
}

void TUSBThread::Resume() {
  std::lock_guard lock(StateMutex);
  SuspendRequested = false;
  if (!Started && !StopRequested.load()) {
    Thread = std::thread(&TUSBThread::Execute, this); // may throw std::system_error
    WorkerId.store(Thread.get_id());
    Started = true;
  }
  StateChanged.notify_all();
}

void TUSBThread::Suspend() {
  std::unique_lock lock(StateMutex);
  SuspendRequested = true;
  // The worker itself cannot wait for its own park: the hook that called us is part of its turn,
  // so nothing else runs the turn concurrently anyway.
  if (!Started || Finished || OnWorkerThread())
    return;
  StateChanged.notify_all(); // cut a rest short
  // Bounded by one turn: a read waits at most kReadTimeout.
  StateChanged.wait(lock, [this] { return Parked || Finished; });
}

bool TUSBThread::Suspended() const {
  std::lock_guard lock(StateMutex);
  return SuspendRequested;
}

void TUSBThread::Stop() {
  StopRequested.store(true);
  std::lock_guard lock(StateMutex);
  StateChanged.notify_all();
}

void TUSBThread::WaitFor() {
  if (OnWorkerThread())
    return; // a thread cannot join itself; the owner joins it later
  if (Thread.joinable())
    Thread.join();
}

void TUSBThread::SetPath(const std::string &NewPath) {
  std::lock_guard lock(PathMutex);
  // The same path again keeps a kept handle: while it is held, no other device can get its node.
  const std::string_view path = std::string_view(NewPath).substr(0, kMaxShortText);
  if (path == Path)
    return;
  Path = path;
  ++PathGeneration;
}

std::string TUSBThread::LinkedPath() const {
  std::lock_guard lock(PathMutex);
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
    std::lock_guard lock(StateMutex);
    if (Started && !Finished && !(SuspendRequested && Parked) && !OnWorkerThread())
      throw std::logic_error("TUSBThread::Configure while the worker runs");
  }
  TSettings settings{Identity, InputLength, ReceiveHook, DisconnectHook, ConnectHook};
  Change(settings);
  Identity = std::move(settings.Identity);
  InputLength = settings.InputLength;
  ReceiveHook = std::move(settings.ReceiveHook);
  DisconnectHook = std::move(settings.DisconnectHook);
  ConnectHook = std::move(settings.ConnectHook);
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
  std::unique_lock lock(QueueMutex);
  if (PendingSize == kPendingCapacity) {
    // The worker empties the queue one report per turn; the worker itself must not wait for it.
    if (OnWorkerThread() || !QueueChanged.wait_for(lock, RoomTimeout, [this] {
          return PendingSize < kPendingCapacity;
        }))
      return -1;
  }
  PendingReport &slot = Pending[(PendingHead + PendingSize) % kPendingCapacity];
  std::memcpy(slot.Data, Report, static_cast<std::size_t>(Length));
  slot.Length = Length;
  slot.Ticket = NextTicket++;
  ++PendingSize;
  return slot.Ticket;
}

bool TUSBThread::WaitReport(std::int64_t Ticket, std::chrono::milliseconds Timeout) {
  if (Ticket < 0)
    return false;
  // Sent from inside a hook: the report goes out later in this very turn.
  if (OnWorkerThread())
    return true;
  std::unique_lock lock(QueueMutex);
  return QueueChanged.wait_for(lock, Timeout, [this, Ticket] { return TakenTicket >= Ticket; });
}

bool TUSBThread::Taken(std::int64_t Ticket) const {
  std::lock_guard lock(QueueMutex);
  return Ticket > 0 && TakenTicket >= Ticket;
}

int TUSBThread::PendingCount() const {
  std::lock_guard lock(QueueMutex);
  return PendingSize;
}

void TUSBThread::DropPending() {
  std::lock_guard lock(QueueMutex);
  if (PendingSize == 0)
    return;
  for (PendingReport &report : Pending)
    WipeBytes(report.Data, sizeof report.Data);
  PendingSize = 0;
  TakenTicket = NextTicket - 1;
  QueueChanged.notify_all();
}

bool TUSBThread::WaitWhileParked() {
  std::unique_lock lock(StateMutex);
  if (SuspendRequested && !StopRequested.load()) {
    Parked = true;
    StateChanged.notify_all();
    StateChanged.wait(lock, [this] { return !SuspendRequested || StopRequested.load(); });
    Parked = false;
  }
  return !StopRequested.load();
}

void TUSBThread::RestFor(std::chrono::milliseconds pause) {
  std::unique_lock lock(StateMutex);
  StateChanged.wait_for(
      lock, pause, [this] { return StopRequested.load() || SuspendRequested || LookRequested; });
  LookRequested = false;
}

void TUSBThread::LookNow() {
  std::lock_guard lock(StateMutex);
  LookRequested = true;
  StateChanged.notify_all();
}

void TUSBThread::SetPriority(TThreadPriority priority) {
  if (priority == CurrentPriority.load(std::memory_order_relaxed))
    return;
  if (SetCurrentThreadPriority(priority))
    CurrentPriority.store(priority, std::memory_order_relaxed);
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
  std::lock_guard lock(StateMutex);
  Finished = true;
  StateChanged.notify_all();
}

HidHandle TUSBThread::LinkHandle(bool &WasKept) {
  WasKept = false;
  if (Kept != kInvalidHidHandle) {
    const HidHandle kept = Kept;
    Kept = kInvalidHidHandle;
    if (KeptGeneration == PathGeneration) {
      // Nothing since the last turn said the device went: it is present, without a system call.
      if (Platform.StillThere(kept)) {
        WasKept = true;
        return kept;
      }
      // It went between two turns: a loss, even if a device is back on the path already (one
      // instrument swapped for another at once). The next turn's open decides the return.
      Platform.Close(kept);
      LinkLost = false;
      return kInvalidHidHandle;
    }
    Platform.Close(kept);
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
  const HidHandle handle = Platform.Open(Path);
  KeptGeneration = PathGeneration;
  return handle;
}

void TUSBThread::EndLink(HidHandle handle, bool readFailed) {
  if (Kept != kInvalidHidHandle) {
    // A selection made from a handler of this turn handed over its own handle meanwhile.
    Platform.Close(handle);
    return;
  }
  const bool stillThere = Platform.StillThere(handle);
  // Kept only after a turn whose read proved the device there: a turn without a read (lengths
  // unknown) or with a failed one leaves presence to the next open, as on every system.
  if (Platform.KeepsDevicesOpen() && InputLength != 0 && !readFailed && !StopRequested.load() &&
      stillThere) {
    Kept = handle;
    return;
  }
  // A device the system says has gone is lost, whatever the next open of its path finds.
  if (!stillThere)
    LinkLost = true;
  Platform.Close(handle);
}

int TUSBThread::ReadToNewest(HidHandle handle, int count, bool &readFailed) {
  // A kept handle queues the reports that came while the worker was busy elsewhere; each turn
  // takes the newest, which carries the instrument's answer to the latest command it took. An
  // older one holds only answers the instrument itself has moved on from.
  for (int i = 1; i < kMaxReportsPerTurn; ++i) {
    const int n = Platform.Read(handle, SpareBuffer, InputLength, 0);
    if (n <= 0) {
      readFailed = n < 0;
      break;
    }
    std::memcpy(ReadBuffer, SpareBuffer, static_cast<std::size_t>(n));
    count = n;
  }
  return count;
}

void TUSBThread::FollowInstrument() {
  // Without a serial number the instrument cannot be told on another path from another of its
  // kind: it is looked for on its own path only.
  if (!Identity.Known() || !Platform.ReusesPaths())
    return;
  std::string found;
  if (Platform.FindIdentity(Identity, found) && !found.empty() && found != Path)
    SetPath(found);
}

void TUSBThread::Turn() {
  TThreadPriority priority = TThreadPriority::Idle;
  bool wasKept = false;
  const HidHandle handle = LinkHandle(wasKept);

  if (handle == kInvalidHidHandle) {
    if (Connected && DisconnectHook)
      DisconnectHook(this);
    Connected = false;
    DropPending();
    // Replugged while a handle was still open, the instrument comes back on another path.
    FollowInstrument();
    SetPriority(priority);
    RestFor(kAbsentPause);
    return;
  }

  if (!Connected && ConnectHook)
    ConnectHook(this);
  Connected = true;

  bool readFailed = false;
  if (InputLength != 0) {
    priority = TThreadPriority::Normal;
    int count = Platform.Read(handle, ReadBuffer, InputLength, kReadTimeout.count());
    if (count > 0 && wasKept)
      count = ReadToNewest(handle, count, readFailed);
    if (count > 0) {
      if (ReceiveHook)
        ReceiveHook(this, count);
    } else if (count < 0) {
      readFailed = true;
    }
  }

  // One waiting report per turn, oldest first. It leaves the queue only once written whole.
  int length = 0;
  std::int64_t ticket = 0;
  {
    std::lock_guard lock(QueueMutex);
    if (PendingSize > 0) {
      const PendingReport &head = Pending[PendingHead];
      std::memcpy(WriteBuffer, head.Data, static_cast<std::size_t>(head.Length));
      length = head.Length;
      ticket = head.Ticket;
    }
  }
  if (length > 0) {
    priority = TThreadPriority::Normal;
    if (Platform.Write(handle, WriteBuffer, length) == length) {
      std::lock_guard lock(QueueMutex);
      // A report may carry a password: nothing of it stays once it is out.
      WipeBytes(Pending[PendingHead].Data, static_cast<std::size_t>(length));
      WipeBytes(WriteBuffer, static_cast<std::size_t>(length));
      // DropPending cannot have run meanwhile: only this thread drops.
      PendingHead = (PendingHead + 1) % kPendingCapacity;
      --PendingSize;
      TakenTicket = ticket;
      QueueChanged.notify_all();
    }
  }

  EndLink(handle, readFailed);
  SetPriority(priority);

  // Without input to wait on, a turn would return at once: rest instead of spinning.
  if (InputLength == 0 && length == 0)
    RestFor(kAbsentPause);
  else if (readFailed && length == 0)
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
  const std::int64_t ticket = Thread->QueueReport(Report, L, kSendTimeout);
  return Thread->WaitReport(ticket, kSendTimeout) ? L : -1;
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
  std::string path;
  DevicePath(Index, path);
  if (path.size() > kMaxShortText)
    path.resize(kMaxShortText);
  HidPlatform &platform = Platform();
  // Who the instrument is, where a path alone does not say it: the worker checks it at every
  // connection and follows the instrument when the system gives it another path.
  HidIdentity identity;
  const bool wantIdentity = platform.ReusesPaths();
  const HidHandle handle =
      (path.empty() || (!Opened && !wantIdentity)) ? kInvalidHidHandle : platform.Open(path);
  if (handle != kInvalidHidHandle && wantIdentity) {
    HidAttributes attributes;
    if (platform.GetAttributes(handle, attributes)) {
      // A device that gives no serial number is known by its ids alone.
      std::string serial;
      if (!platform.GetSerialNumberString(handle, serial))
        serial.clear();
      identity = {attributes.VendorID, attributes.ProductID, serial.substr(0, kMaxShortText)};
    }
  }
  if (Opened)
    *Opened = handle;
  else if (handle != kInvalidHidHandle)
    platform.Close(handle);
  Thread->SetPath(path);
  {
    std::lock_guard lock(SelectionMutex);
    SelectedIndex = Index;
    SelectedPath = path;
  }
  // The next successful open raises OnConnect again, also for the same device.
  Thread->Configure([&](TUSBThread::TSettings &Settings) {
    Settings.Identity = identity;
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
    std::lock_guard lock(SelectionMutex);
    if (Index != SelectedIndex || Listed != SelectedPath || !Thread)
      return Listed;
  }
  return Thread->LinkedPath();
}

bool TCustomUSB::Following() const {
  std::lock_guard lock(SelectionMutex);
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
  HidPlatform &platform = Platform();
  for (const std::string &path : platform.ListInterfaces(ViewRegisteredDevices)) {
    if (path.empty())
      continue;
    const HidHandle handle = platform.Open(path);
    if (handle == kInvalidHidHandle)
      continue;
    HidAttributes attributes;
    const bool known = platform.GetAttributes(handle, attributes);
    platform.Close(handle);
    if (known && attributes.VendorID == Vid && attributes.ProductID == Pid)
      Items.Add(path);
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

void THIDDevice::QueryIdentity(int n, IdentityString which, std::string &Text) {
  Text.clear();
  if (n > Items.Count())
    return;
  // The selected instrument is asked where the worker links to: after a replug the listed path
  // may hold another instrument.
  const std::string path = PathOfEntry(n - 1, Items.Get(n - 1));
  HidPlatform &platform = Platform();
  const HidHandle handle = path.empty() ? kInvalidHidHandle : platform.Open(path);
  if (which == IdentityString::SerialNumber)
    Text = "unknown";
  if (handle == kInvalidHidHandle)
    return;
  std::string value;
  bool ok = false;
  switch (which) {
  case IdentityString::Manufacturer:
    ok = platform.GetManufacturerString(handle, value);
    break;
  case IdentityString::Product:
    ok = platform.GetProductString(handle, value);
    break;
  case IdentityString::SerialNumber:
    ok = platform.GetSerialNumberString(handle, value);
    break;
  }
  platform.Close(handle);
  if (ok)
    Text = value;
}

bool THIDDevice::OpenDevice(int Index) {
  // The worker stays parked until the report lengths are known: a connection handler that sends
  // at once (the clock) must find the output length set, or its report would be lost.
  HidHandle handle = kInvalidHidHandle;
  OpenError.clear();
  if (!SelectPath(Index, false, &handle)) {
    OpenError = "no such device in the list";
    return false;
  }
  bool result = true;
  HidPlatform &platform = Platform();
  if (handle == kInvalidHidHandle) {
    // Listed at the scan, gone (or closed to us) at the selection: neither its report lengths
    // nor who it is are known, and whatever comes on its path later could be another device.
    // The worker is left without a path.
    const std::string why = platform.LastOpenError();
    OpenError = "the device could not be opened" + (why.empty() ? std::string() : ": " + why);
    result = false;
    Thread->SetPath({});
  } else {
    HidReportLengths lengths;
    if (!platform.GetReportLengths(handle, lengths)) {
      OpenError = "the device's report lengths could not be read";
      result = false;
    } else if (lengths.InputReportByteLength < 0 ||
               lengths.InputReportByteLength > kReadBufferSize ||
               lengths.OutputReportByteLength < 0 ||
               lengths.OutputReportByteLength > kMaxOutputReportLength) {
      // Reports longer than the buffers would be cut or overrun: refuse the device rather than
      // trust its declaration, and leave the worker without a path.
      OpenError = "the device declares reports longer than the channel holds";
      result = false;
      Thread->SetPath({});
      Thread->Configure([](TUSBThread::TSettings &Settings) { Settings.Identity = {}; });
    } else {
      Capabilities = lengths;
      Thread->Configure([&](TUSBThread::TSettings &Settings) {
        Settings.InputLength = lengths.InputReportByteLength;
      });
      OutputLength.store(lengths.OutputReportByteLength);
      // The worker's first turn needs no open of its own (about 60 ms on Linux).
      Thread->AdoptHandle(handle);
      handle = kInvalidHidHandle;
    }
    if (handle != kInvalidHidHandle)
      platform.Close(handle);
  }
  try {
    Thread->Resume();
  } catch (const std::system_error &) {
    ShowFatalMessage("BUG", "TUSBThread.Create()");
    return false;
  }
  return result;
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
  const int length = OutputLength.load();
  if (!Thread || length <= 0)
    return -1;
  std::uint8_t report[kMaxOutputReportLength]{};
  report[0] = 0; // report id
  const int carried = std::clamp(std::min(n, length - 1), 0, kMaxOutputReportLength - 1);
  std::memcpy(report + 1, Data, static_cast<std::size_t>(carried));
  // Never waits for room: callers queue under their own lock, which the worker may need.
  const std::int64_t ticket = Thread->QueueReport(report, length, std::chrono::milliseconds{0});
  WipeBytes(report, sizeof report);
  return ticket;
}

int THIDDevice::WaitFrame(std::int64_t Ticket) {
  const bool onWorker = Thread && Thread->OnWorkerThread();
  if (Ticket < 0) {
    // Nothing could be queued; a sender still sees the usual bound before it learns so.
    if (!onWorker)
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
