#include "sim/SimPlatform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "protocol/Utils.h"

namespace zol {

namespace {

constexpr std::uint16_t kSimRW8Version = 0x0104;
/// A Read without a bound (negative time-out) still returns after this long.
constexpr int kLongestReadMs = 1000;
constexpr int kMouseInputLength = 5;

// Why the last Open failed on this thread: a literal, so that a failing open allocates nothing.
thread_local const char *LastError = "";

} // namespace

SimPlatform::SimPlatform(int Count, const TVirtualRW8Options &Base) {
  for (int i = 0; i < Count; ++i)
    AddInstrument(OptionsFor(i, Base));
}

SimPlatform::~SimPlatform() {
  std::vector<std::shared_ptr<VirtualRW8>> Copies;
  {
    std::lock_guard Lock(Mutex);
    Copies = Instruments;
  }
  // Outside Mutex: a report in flight holds the instrument's listener lock and wants Mutex.
  for (auto &Instrument : Copies) {
    if (Instrument) {
      Instrument->SetListener(nullptr, 0);
      Instrument->Stop();
    }
  }
}

TVirtualRW8Options SimPlatform::OptionsFor(int i, const TVirtualRW8Options &Base) {
  TVirtualRW8Options Options = Base;
  char Serial[32];
  std::snprintf(Serial, sizeof Serial, "SIMRW8%010d", i + 1);
  Options.SerialNumber = Serial;
  if (!Base.MemoryFile.empty() && i > 0)
    Options.MemoryFile = Base.MemoryFile + "." + std::to_string(i);
  return Options;
}

int SimPlatform::InstrumentCount() const {
  std::lock_guard Lock(Mutex);
  return static_cast<int>(Instruments.size());
}

std::shared_ptr<VirtualRW8> SimPlatform::Instrument(int i) const {
  std::lock_guard Lock(Mutex);
  if (i < 0 || i >= static_cast<int>(Instruments.size()))
    return nullptr;
  return Instruments[i];
}

int SimPlatform::AddInstrument(const TVirtualRW8Options &Options) {
  auto Instrument = std::make_shared<VirtualRW8>(Options);
  int Index;
  {
    std::lock_guard Lock(Mutex);
    Index = static_cast<int>(Instruments.size());
    const bool Taken = std::find(Nodes.begin(), Nodes.end(), Index) != Nodes.end();
    Nodes.push_back(Taken ? FreshNode() : Index);
    Instruments.push_back(Instrument);
    Serials.push_back(Options.SerialNumber);
    Opens.push_back(0);
  }
  Instrument->SetListener(this, Index);
  if (Instrument->LinkState().Present)
    ArrivalCount.fetch_add(1);
  return Index;
}

void SimPlatform::RemoveInstrument(int i) {
  std::shared_ptr<VirtualRW8> Removed;
  {
    std::lock_guard Lock(Mutex);
    if (i < 0 || i >= static_cast<int>(Instruments.size()))
      return;
    Removed = std::move(Instruments[i]);
    Instruments[i] = nullptr;
    for (Slot &HandleSlot : Handles)
      if (HandleSlot.Device == i)
        HandleSlot.Arrived.notify_all();
  }
  if (Removed) {
    Removed->SetListener(nullptr, 0);
    Removed->Stop();
  }
}

int SimPlatform::FreshNode() const {
  int Node = static_cast<int>(Nodes.size());
  for (int n : Nodes)
    Node = std::max(Node, n + 1);
  return Node;
}

int SimPlatform::InstrumentOn(const std::string &Path) const {
  const int Node = ParsePath(Path);
  if (Node < 0)
    return -1;
  for (std::size_t i = 0; i < Nodes.size(); ++i)
    if (Nodes[i] == Node && Instruments[i])
      return static_cast<int>(i);
  return -1;
}

std::string SimPlatform::PathOf(int i) const {
  std::lock_guard Lock(Mutex);
  if (i < 0 || i >= static_cast<int>(Instruments.size()) || !Instruments[i])
    return {};
  return "sim:" + std::to_string(Nodes[i]);
}

int SimPlatform::OpensOf(int i) const {
  std::lock_guard Lock(Mutex);
  return (i < 0 || i >= static_cast<int>(Opens.size())) ? 0 : Opens[i];
}

void SimPlatform::Renumber(int i, int j) {
  const auto Moved = Instrument(i);
  const auto Other = (j >= 0 && j != i) ? Instrument(j) : nullptr;
  if (!Moved)
    return;
  // Unplugged first, so that no handle opened meanwhile survives the move.
  Moved->SetPresent(false);
  if (Other)
    Other->SetPresent(false);
  {
    std::lock_guard Lock(Mutex);
    const int Old = Nodes[i];
    Nodes[i] = FreshNode();
    if (Other)
      Nodes[j] = Old;
  }
  if (Other)
    Other->SetPresent(true);
  Moved->SetPresent(true);
}

int SimPlatform::ParsePath(const std::string &Path) {
  constexpr std::string_view kPrefix = "sim:";
  if (Path.size() <= kPrefix.size() || Path.compare(0, kPrefix.size(), kPrefix) != 0)
    return -1;
  int n = 0;
  for (std::size_t i = kPrefix.size(); i < Path.size(); ++i) {
    const char c = Path[i];
    if (c < '0' || c > '9' || n > 100000)
      return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::vector<std::string> SimPlatform::ListInterfaces(bool IncludeRegistered) {
  std::vector<std::shared_ptr<VirtualRW8>> Copies;
  {
    std::lock_guard Lock(Mutex);
    Copies = Instruments;
  }
  std::vector<std::string> Paths;
  for (std::size_t i = 0; i < Copies.size(); ++i) {
    if (Copies[i] && (IncludeRegistered || Copies[i]->LinkState().Present))
      Paths.push_back(PathOf(static_cast<int>(i)));
    // The mouse sits between the first instrument and the others, so that a filter that stops
    // at the first non-matching device shows up.
    if (i == 0)
      Paths.emplace_back(kSimMousePath);
  }
  if (Copies.empty())
    Paths.emplace_back(kSimMousePath);
  return Paths;
}

SimPlatform::Slot *SimPlatform::SlotOf(HidHandle Handle) {
  if (Handle < 1 || Handle > kSimMaxHandles)
    return nullptr;
  Slot &HandleSlot = Handles[Handle - 1];
  return HandleSlot.Device == kFree ? nullptr : &HandleSlot;
}

std::shared_ptr<VirtualRW8> SimPlatform::LiveInstrument(const Slot &HandleSlot) const {
  if (HandleSlot.Device < 0 || HandleSlot.Device >= static_cast<int>(Instruments.size()))
    return nullptr;
  const auto &Instrument = Instruments[HandleSlot.Device];
  // Like a hidraw node, a handle does not survive an unplug, even when the device comes back.
  if (!Instrument)
    return nullptr;
  const TSimLinkState Link = Instrument->LinkState();
  if (!Link.Present || Link.PlugGeneration != HandleSlot.Generation)
    return nullptr;
  return Instrument;
}

HidHandle SimPlatform::Open(const std::string &Path) {
  std::lock_guard Lock(Mutex);
  int Device;
  std::uint32_t Generation = 0;
  if (Path == kSimMousePath) {
    Device = kMouse;
  } else {
    Device = InstrumentOn(Path);
    const VirtualRW8 *Instrument = Device >= 0 ? Instruments[Device].get() : nullptr;
    const TSimLinkState Link = Instrument ? Instrument->LinkState() : TSimLinkState{false};
    if (!Link.Present) {
      LastError = "no such device";
      return kInvalidHidHandle;
    }
    if (Link.PermissionDenied) {
      LastError = "permission denied";
      return kInvalidHidHandle;
    }
    Generation = Link.PlugGeneration;
    ++Opens[Device];
  }
  for (int i = 0; i < kSimMaxHandles; ++i) {
    Slot &HandleSlot = Handles[i];
    if (HandleSlot.Device != kFree)
      continue;
    HandleSlot.Device = Device;
    HandleSlot.Generation = Generation;
    HandleSlot.OpenSerial = ++OpenCount;
    HandleSlot.Head = 0;
    HandleSlot.Size = 0;
    LastError = "";
    return i + 1;
  }
  LastError = "too many open handles";
  return kInvalidHidHandle;
}

std::string SimPlatform::LastOpenError() const {
  return LastError;
}

void SimPlatform::Close(HidHandle Handle) {
  std::lock_guard Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot)
    return;
  HandleSlot->Device = kFree;
  HandleSlot->Size = 0;
  // A Read still waiting on this handle (another thread's mistake) returns -1 at once.
  HandleSlot->Arrived.notify_all();
}

int SimPlatform::OpenHandles() const {
  std::lock_guard Lock(Mutex);
  return static_cast<int>(std::count_if(Handles.begin(), Handles.end(),
                                        [](const Slot &s) { return s.Device != kFree; }));
}

bool SimPlatform::PeekAttributes(const std::string &Path, HidAttributes &Attributes) {
  // Like the system's device list: the ids of a present device, whether or not we may open it.
  if (Path == kSimMousePath) {
    Attributes = {kSimMouseVendor, kSimMouseProduct, 0x0110};
    return true;
  }
  std::lock_guard Lock(Mutex);
  const int Device = InstrumentOn(Path);
  if (Device < 0 || !Instruments[Device]->LinkState().Present)
    return false;
  Attributes = {kSimRW8Vendor, kSimRW8Product, kSimRW8Version};
  return true;
}

bool SimPlatform::GetAttributes(HidHandle Handle, HidAttributes &Attributes) {
  std::lock_guard Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot)
    return false;
  if (HandleSlot->Device == kMouse) {
    Attributes = {kSimMouseVendor, kSimMouseProduct, 0x0110};
    return true;
  }
  if (!LiveInstrument(*HandleSlot))
    return false;
  Attributes = {kSimRW8Vendor, kSimRW8Product, kSimRW8Version};
  return true;
}

bool SimPlatform::GetManufacturerString(HidHandle Handle, std::string &Text) {
  std::lock_guard Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot)
    return false;
  if (HandleSlot->Device == kMouse) {
    Text = "Logitech";
    return true;
  }
  const auto Instrument = LiveInstrument(*HandleSlot);
  if (!Instrument)
    return false;
  Text = Instrument->Manufacturer();
  return true;
}

bool SimPlatform::GetProductString(HidHandle Handle, std::string &Text) {
  std::lock_guard Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot)
    return false;
  if (HandleSlot->Device == kMouse) {
    Text = "USB Optical Mouse";
    return true;
  }
  const auto Instrument = LiveInstrument(*HandleSlot);
  if (!Instrument)
    return false;
  Text = Instrument->Product();
  return true;
}

bool SimPlatform::GetSerialNumberString(HidHandle Handle, std::string &Text) {
  std::lock_guard Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot || HandleSlot->Device == kMouse)
    return false; // the mouse has no serial number, as many do not
  const auto Instrument = LiveInstrument(*HandleSlot);
  if (!Instrument)
    return false;
  Text = Instrument->SerialNumber();
  return true;
}

bool SimPlatform::GetReportLengths(HidHandle Handle, HidReportLengths &Lengths) {
  std::lock_guard Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot)
    return false;
  if (HandleSlot->Device == kMouse) {
    Lengths = {kMouseInputLength, 0};
    return true;
  }
  const auto Instrument = LiveInstrument(*HandleSlot);
  if (!Instrument)
    return false;
  if (Instrument->LinkState().OversizedReports)
    Lengths = {kSimOversizedInputLength, kSimOversizedOutputLength};
  else
    Lengths = {kSimInputReportLength, kSimOutputReportLength};
  return true;
}

int SimPlatform::Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) {
  if (!Buffer || Length < 1)
    return -1;
  std::unique_lock Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  if (!HandleSlot)
    return -1;
  const int Device = HandleSlot->Device;
  const std::uint64_t Serial = HandleSlot->OpenSerial;
  // The slot may be closed and opened again by someone else while we wait; then it is not ours.
  const auto Ours = [&] {
    return HandleSlot->Device == Device && HandleSlot->OpenSerial == Serial;
  };
  const auto Deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(TimeoutMs < 0 ? kLongestReadMs : TimeoutMs);
  if (Device == kMouse) {
    // The mouse is never moved: every read times out.
    HandleSlot->Arrived.wait_until(Lock, Deadline, [&] { return !Ours(); });
    return Ours() ? 0 : -1;
  }
  const bool Ready = HandleSlot->Arrived.wait_until(Lock, Deadline, [&] {
    return !Ours() || !LiveInstrument(*HandleSlot) || HandleSlot->Size > 0;
  });
  if (!Ours() || !LiveInstrument(*HandleSlot))
    return -1;
  if (!Ready)
    return 0;
  const std::uint8_t *Report = HandleSlot->Queue[HandleSlot->Head];
  const int n = std::min(Length, kSimInputReportLength);
  std::copy(Report, Report + n, Buffer);
  HandleSlot->Head = (HandleSlot->Head + 1) % kSimHandleQueue;
  --HandleSlot->Size;
  return n;
}

int SimPlatform::Write(HidHandle Handle, const std::uint8_t *Report, int Length) {
  if (!Report || Length < 1)
    return -1;
  std::shared_ptr<VirtualRW8> Instrument;
  {
    std::lock_guard Lock(Mutex);
    Slot *HandleSlot = SlotOf(Handle);
    if (!HandleSlot || HandleSlot->Device == kMouse)
      return -1; // the mouse has no output report
    Instrument = LiveInstrument(*HandleSlot);
  }
  if (!Instrument)
    return -1;
  // Byte 0 is the report id; a short report is padded with zeros, as the USB stack would.
  std::uint8_t Command[kCommandLength]{};
  std::copy(Report + 1, Report + std::min(Length, 1 + kCommandLength), Command);
  Instrument->ReceiveCommand(Command);
  return Length;
}

bool SimPlatform::StillThere(HidHandle Handle) {
  std::lock_guard Lock(Mutex);
  Slot *HandleSlot = SlotOf(Handle);
  return HandleSlot && (HandleSlot->Device == kMouse || LiveInstrument(*HandleSlot));
}

HidIdentityMatch SimPlatform::MatchIdentity(const std::string &Path, const HidIdentity &Who) {
  if (Path == kSimMousePath)
    return Who.VendorID == kSimMouseVendor && Who.ProductID == kSimMouseProduct &&
                   Who.SerialNumber.empty()
               ? HidIdentityMatch::Same
               : HidIdentityMatch::Other;
  std::lock_guard Lock(Mutex);
  const int Device = InstrumentOn(Path);
  if (Device < 0 || !Instruments[Device]->LinkState().Present)
    return HidIdentityMatch::Unknown;
  // An instrument without a serial number matches any other without one.
  const bool Same = Who.VendorID == kSimRW8Vendor && Who.ProductID == kSimRW8Product &&
                    Serials[Device] == Who.SerialNumber;
  return Same ? HidIdentityMatch::Same : HidIdentityMatch::Other;
}

bool SimPlatform::FindIdentity(const HidIdentity &Who, std::string &Path) {
  if (!Who.Known() || Who.VendorID != kSimRW8Vendor || Who.ProductID != kSimRW8Product)
    return false;
  int Node = -1;
  {
    std::lock_guard Lock(Mutex);
    for (std::size_t i = 0; i < Instruments.size(); ++i)
      if (Instruments[i] && Serials[i] == Who.SerialNumber && Instruments[i]->LinkState().Present) {
        Node = Nodes[i];
        break;
      }
  }
  if (Node < 0)
    return false;
  Path = "sim:" + std::to_string(Node);
  return true;
}

void SimPlatform::ReportProduced(int Cookie, const std::uint8_t *Report, int Length) {
  std::lock_guard Lock(Mutex);
  const int n = std::min(Length, kSimInputReportLength);
  for (Slot &HandleSlot : Handles) {
    if (HandleSlot.Device != Cookie)
      continue;
    if (HandleSlot.Size == kSimHandleQueue) {
      // Drop the oldest, as hidraw does when nobody reads: the queue never grows.
      HandleSlot.Head = (HandleSlot.Head + 1) % kSimHandleQueue;
      --HandleSlot.Size;
    }
    std::uint8_t *Target = HandleSlot.Queue[(HandleSlot.Head + HandleSlot.Size) % kSimHandleQueue];
    std::fill(Target, Target + kSimInputReportLength, 0);
    std::copy(Report, Report + n, Target);
    ++HandleSlot.Size;
    HandleSlot.Arrived.notify_all();
  }
}

void SimPlatform::PresenceChanged(int Cookie) {
  // An instrument plugged in is an arrival. Its state is read without the platform's lock held.
  std::shared_ptr<VirtualRW8> Changed;
  {
    std::lock_guard Lock(Mutex);
    if (Cookie >= 0 && Cookie < static_cast<int>(Instruments.size()))
      Changed = Instruments[static_cast<std::size_t>(Cookie)];
  }
  if (Changed && Changed->LinkState().Present)
    ArrivalCount.fetch_add(1);
  std::lock_guard Lock(Mutex);
  for (Slot &HandleSlot : Handles) {
    if (HandleSlot.Device == Cookie) {
      HandleSlot.Size = 0;
      HandleSlot.Arrived.notify_all();
    }
  }
}

} // namespace zol
