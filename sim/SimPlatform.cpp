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
  std::vector<std::shared_ptr<VirtualRW8>> instruments;
  {
    std::lock_guard lock(Mutex);
    instruments = Instruments;
  }
  // Outside Mutex: a report in flight holds the instrument's listener lock and wants Mutex.
  for (auto &instrument : instruments) {
    if (instrument) {
      instrument->SetListener(nullptr, 0);
      instrument->Stop();
    }
  }
}

TVirtualRW8Options SimPlatform::OptionsFor(int i, const TVirtualRW8Options &Base) {
  TVirtualRW8Options options = Base;
  char serial[32];
  std::snprintf(serial, sizeof serial, "SIMRW8%010d", i + 1);
  options.SerialNumber = serial;
  if (!Base.MemoryFile.empty() && i > 0)
    options.MemoryFile = Base.MemoryFile + "." + std::to_string(i);
  return options;
}

int SimPlatform::InstrumentCount() const {
  std::lock_guard lock(Mutex);
  return static_cast<int>(Instruments.size());
}

std::shared_ptr<VirtualRW8> SimPlatform::Instrument(int i) const {
  std::lock_guard lock(Mutex);
  if (i < 0 || i >= static_cast<int>(Instruments.size()))
    return nullptr;
  return Instruments[i];
}

int SimPlatform::AddInstrument(const TVirtualRW8Options &Options) {
  auto instrument = std::make_shared<VirtualRW8>(Options);
  int index;
  {
    std::lock_guard lock(Mutex);
    index = static_cast<int>(Instruments.size());
    const bool taken = std::find(Nodes.begin(), Nodes.end(), index) != Nodes.end();
    Nodes.push_back(taken ? FreshNode() : index);
    Instruments.push_back(instrument);
    Serials.push_back(Options.SerialNumber);
    Opens.push_back(0);
  }
  instrument->SetListener(this, index);
  if (instrument->LinkState().Present)
    ArrivalCount.fetch_add(1);
  return index;
}

void SimPlatform::RemoveInstrument(int i) {
  std::shared_ptr<VirtualRW8> removed;
  {
    std::lock_guard lock(Mutex);
    if (i < 0 || i >= static_cast<int>(Instruments.size()))
      return;
    removed = std::move(Instruments[i]);
    Instruments[i] = nullptr;
    for (Slot &slot : Handles)
      if (slot.Device == i)
        slot.Arrived.notify_all();
  }
  if (removed) {
    removed->SetListener(nullptr, 0);
    removed->Stop();
  }
}

int SimPlatform::FreshNode() const {
  int node = static_cast<int>(Nodes.size());
  for (int n : Nodes)
    node = std::max(node, n + 1);
  return node;
}

int SimPlatform::InstrumentOn(const std::string &path) const {
  const int node = ParsePath(path);
  if (node < 0)
    return -1;
  for (std::size_t i = 0; i < Nodes.size(); ++i)
    if (Nodes[i] == node && Instruments[i])
      return static_cast<int>(i);
  return -1;
}

std::string SimPlatform::PathOf(int i) const {
  std::lock_guard lock(Mutex);
  if (i < 0 || i >= static_cast<int>(Instruments.size()) || !Instruments[i])
    return {};
  return "sim:" + std::to_string(Nodes[i]);
}

int SimPlatform::OpensOf(int i) const {
  std::lock_guard lock(Mutex);
  return (i < 0 || i >= static_cast<int>(Opens.size())) ? 0 : Opens[i];
}

void SimPlatform::Renumber(int i, int j) {
  const auto moved = Instrument(i);
  const auto other = (j >= 0 && j != i) ? Instrument(j) : nullptr;
  if (!moved)
    return;
  // Unplugged first, so that no handle opened meanwhile survives the move.
  moved->SetPresent(false);
  if (other)
    other->SetPresent(false);
  {
    std::lock_guard lock(Mutex);
    const int old = Nodes[i];
    Nodes[i] = FreshNode();
    if (other)
      Nodes[j] = old;
  }
  if (other)
    other->SetPresent(true);
  moved->SetPresent(true);
}

int SimPlatform::ParsePath(const std::string &path) {
  constexpr std::string_view kPrefix = "sim:";
  if (path.size() <= kPrefix.size() || path.compare(0, kPrefix.size(), kPrefix) != 0)
    return -1;
  int n = 0;
  for (std::size_t i = kPrefix.size(); i < path.size(); ++i) {
    const char c = path[i];
    if (c < '0' || c > '9' || n > 100000)
      return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

std::vector<std::string> SimPlatform::ListInterfaces(bool includeRegistered) {
  std::vector<std::shared_ptr<VirtualRW8>> instruments;
  {
    std::lock_guard lock(Mutex);
    instruments = Instruments;
  }
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < instruments.size(); ++i) {
    if (instruments[i] && (includeRegistered || instruments[i]->LinkState().Present))
      paths.push_back(PathOf(static_cast<int>(i)));
    // The mouse sits between the first instrument and the others, so that a filter that stops
    // at the first non-matching device shows up.
    if (i == 0)
      paths.emplace_back(kSimMousePath);
  }
  if (instruments.empty())
    paths.emplace_back(kSimMousePath);
  return paths;
}

SimPlatform::Slot *SimPlatform::SlotOf(HidHandle handle) {
  if (handle < 1 || handle > kSimMaxHandles)
    return nullptr;
  Slot &slot = Handles[handle - 1];
  return slot.Device == kFree ? nullptr : &slot;
}

std::shared_ptr<VirtualRW8> SimPlatform::LiveInstrument(const Slot &slot) const {
  if (slot.Device < 0 || slot.Device >= static_cast<int>(Instruments.size()))
    return nullptr;
  const auto &instrument = Instruments[slot.Device];
  // Like a hidraw node, a handle does not survive an unplug, even when the device comes back.
  if (!instrument)
    return nullptr;
  const TSimLinkState link = instrument->LinkState();
  if (!link.Present || link.PlugGeneration != slot.Generation)
    return nullptr;
  return instrument;
}

HidHandle SimPlatform::Open(const std::string &path) {
  std::lock_guard lock(Mutex);
  int device;
  std::uint32_t generation = 0;
  if (path == kSimMousePath) {
    device = kMouse;
  } else {
    device = InstrumentOn(path);
    const VirtualRW8 *instrument = device >= 0 ? Instruments[device].get() : nullptr;
    const TSimLinkState link = instrument ? instrument->LinkState() : TSimLinkState{false};
    if (!link.Present) {
      LastError = "no such device";
      return kInvalidHidHandle;
    }
    if (link.PermissionDenied) {
      LastError = "permission denied";
      return kInvalidHidHandle;
    }
    generation = link.PlugGeneration;
    ++Opens[device];
  }
  for (int i = 0; i < kSimMaxHandles; ++i) {
    Slot &slot = Handles[i];
    if (slot.Device != kFree)
      continue;
    slot.Device = device;
    slot.Generation = generation;
    slot.OpenSerial = ++OpenCount;
    slot.Head = 0;
    slot.Size = 0;
    LastError = "";
    return i + 1;
  }
  LastError = "too many open handles";
  return kInvalidHidHandle;
}

std::string SimPlatform::LastOpenError() const {
  return LastError;
}

void SimPlatform::Close(HidHandle handle) {
  std::lock_guard lock(Mutex);
  Slot *slot = SlotOf(handle);
  if (!slot)
    return;
  slot->Device = kFree;
  slot->Size = 0;
  // A Read still waiting on this handle (another thread's mistake) returns -1 at once.
  slot->Arrived.notify_all();
}

int SimPlatform::OpenHandles() const {
  std::lock_guard lock(Mutex);
  return static_cast<int>(std::count_if(Handles.begin(), Handles.end(),
                                        [](const Slot &s) { return s.Device != kFree; }));
}

bool SimPlatform::PeekAttributes(const std::string &path, HidAttributes &attributes) {
  // Like the system's device list: the ids of a present device, whether or not we may open it.
  if (path == kSimMousePath) {
    attributes = {kSimMouseVendor, kSimMouseProduct, 0x0110};
    return true;
  }
  std::lock_guard lock(Mutex);
  const int device = InstrumentOn(path);
  if (device < 0 || !Instruments[device]->LinkState().Present)
    return false;
  attributes = {kSimRW8Vendor, kSimRW8Product, kSimRW8Version};
  return true;
}

bool SimPlatform::GetAttributes(HidHandle handle, HidAttributes &attributes) {
  std::lock_guard lock(Mutex);
  Slot *slot = SlotOf(handle);
  if (!slot)
    return false;
  if (slot->Device == kMouse) {
    attributes = {kSimMouseVendor, kSimMouseProduct, 0x0110};
    return true;
  }
  if (!LiveInstrument(*slot))
    return false;
  attributes = {kSimRW8Vendor, kSimRW8Product, kSimRW8Version};
  return true;
}

bool SimPlatform::GetManufacturerString(HidHandle handle, std::string &text) {
  std::lock_guard lock(Mutex);
  Slot *slot = SlotOf(handle);
  if (!slot)
    return false;
  if (slot->Device == kMouse) {
    text = "Logitech";
    return true;
  }
  const auto instrument = LiveInstrument(*slot);
  if (!instrument)
    return false;
  text = instrument->Manufacturer();
  return true;
}

bool SimPlatform::GetProductString(HidHandle handle, std::string &text) {
  std::lock_guard lock(Mutex);
  Slot *slot = SlotOf(handle);
  if (!slot)
    return false;
  if (slot->Device == kMouse) {
    text = "USB Optical Mouse";
    return true;
  }
  const auto instrument = LiveInstrument(*slot);
  if (!instrument)
    return false;
  text = instrument->Product();
  return true;
}

bool SimPlatform::GetSerialNumberString(HidHandle handle, std::string &text) {
  std::lock_guard lock(Mutex);
  Slot *slot = SlotOf(handle);
  if (!slot || slot->Device == kMouse)
    return false; // the mouse has no serial number, as many do not
  const auto instrument = LiveInstrument(*slot);
  if (!instrument)
    return false;
  text = instrument->SerialNumber();
  return true;
}

bool SimPlatform::GetReportLengths(HidHandle handle, HidReportLengths &lengths) {
  std::lock_guard lock(Mutex);
  Slot *slot = SlotOf(handle);
  if (!slot)
    return false;
  if (slot->Device == kMouse) {
    lengths = {kMouseInputLength, 0};
    return true;
  }
  const auto instrument = LiveInstrument(*slot);
  if (!instrument)
    return false;
  if (instrument->LinkState().OversizedReports)
    lengths = {kSimOversizedInputLength, kSimOversizedOutputLength};
  else
    lengths = {kSimInputReportLength, kSimOutputReportLength};
  return true;
}

int SimPlatform::Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) {
  if (!buffer || length < 1)
    return -1;
  std::unique_lock lock(Mutex);
  Slot *slot = SlotOf(handle);
  if (!slot)
    return -1;
  const int device = slot->Device;
  const std::uint64_t serial = slot->OpenSerial;
  // The slot may be closed and opened again by someone else while we wait; then it is not ours.
  const auto ours = [&] { return slot->Device == device && slot->OpenSerial == serial; };
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(timeoutMs < 0 ? kLongestReadMs : timeoutMs);
  if (device == kMouse) {
    // The mouse is never moved: every read times out.
    slot->Arrived.wait_until(lock, deadline, [&] { return !ours(); });
    return ours() ? 0 : -1;
  }
  const bool ready = slot->Arrived.wait_until(
      lock, deadline, [&] { return !ours() || !LiveInstrument(*slot) || slot->Size > 0; });
  if (!ours() || !LiveInstrument(*slot))
    return -1;
  if (!ready)
    return 0;
  const std::uint8_t *report = slot->Queue[slot->Head];
  const int n = std::min(length, kSimInputReportLength);
  std::copy(report, report + n, buffer);
  slot->Head = (slot->Head + 1) % kSimHandleQueue;
  --slot->Size;
  return n;
}

int SimPlatform::Write(HidHandle handle, const std::uint8_t *report, int length) {
  if (!report || length < 1)
    return -1;
  std::shared_ptr<VirtualRW8> instrument;
  {
    std::lock_guard lock(Mutex);
    Slot *slot = SlotOf(handle);
    if (!slot || slot->Device == kMouse)
      return -1; // the mouse has no output report
    instrument = LiveInstrument(*slot);
  }
  if (!instrument)
    return -1;
  // Byte 0 is the report id; a short report is padded with zeros, as the USB stack would.
  std::uint8_t command[kCommandLength]{};
  std::copy(report + 1, report + std::min(length, 1 + kCommandLength), command);
  instrument->ReceiveCommand(command);
  return length;
}

bool SimPlatform::StillThere(HidHandle handle) {
  std::lock_guard lock(Mutex);
  Slot *slot = SlotOf(handle);
  return slot && (slot->Device == kMouse || LiveInstrument(*slot));
}

HidIdentityMatch SimPlatform::MatchIdentity(const std::string &path, const HidIdentity &who) {
  if (path == kSimMousePath)
    return who.VendorID == kSimMouseVendor && who.ProductID == kSimMouseProduct &&
                   who.SerialNumber.empty()
               ? HidIdentityMatch::Same
               : HidIdentityMatch::Other;
  std::lock_guard lock(Mutex);
  const int device = InstrumentOn(path);
  if (device < 0 || !Instruments[device]->LinkState().Present)
    return HidIdentityMatch::Unknown;
  // An instrument without a serial number matches any other without one.
  const bool same = who.VendorID == kSimRW8Vendor && who.ProductID == kSimRW8Product &&
                    Serials[device] == who.SerialNumber;
  return same ? HidIdentityMatch::Same : HidIdentityMatch::Other;
}

bool SimPlatform::FindIdentity(const HidIdentity &who, std::string &path) {
  if (!who.Known() || who.VendorID != kSimRW8Vendor || who.ProductID != kSimRW8Product)
    return false;
  int node = -1;
  {
    std::lock_guard lock(Mutex);
    for (std::size_t i = 0; i < Instruments.size(); ++i)
      if (Instruments[i] && Serials[i] == who.SerialNumber && Instruments[i]->LinkState().Present) {
        node = Nodes[i];
        break;
      }
  }
  if (node < 0)
    return false;
  path = "sim:" + std::to_string(node);
  return true;
}

void SimPlatform::ReportProduced(int Cookie, const std::uint8_t *Report, int Length) {
  std::lock_guard lock(Mutex);
  const int n = std::min(Length, kSimInputReportLength);
  for (Slot &slot : Handles) {
    if (slot.Device != Cookie)
      continue;
    if (slot.Size == kSimHandleQueue) {
      // Drop the oldest, as hidraw does when nobody reads: the queue never grows.
      slot.Head = (slot.Head + 1) % kSimHandleQueue;
      --slot.Size;
    }
    std::uint8_t *target = slot.Queue[(slot.Head + slot.Size) % kSimHandleQueue];
    std::fill(target, target + kSimInputReportLength, 0);
    std::copy(Report, Report + n, target);
    ++slot.Size;
    slot.Arrived.notify_all();
  }
}

void SimPlatform::PresenceChanged(int Cookie) {
  // An instrument plugged in is an arrival. Its state is read without the platform's lock held.
  std::shared_ptr<VirtualRW8> changed;
  {
    std::lock_guard lock(Mutex);
    if (Cookie >= 0 && Cookie < static_cast<int>(Instruments.size()))
      changed = Instruments[static_cast<std::size_t>(Cookie)];
  }
  if (changed && changed->LinkState().Present)
    ArrivalCount.fetch_add(1);
  std::lock_guard lock(Mutex);
  for (Slot &slot : Handles) {
    if (slot.Device == Cookie) {
      slot.Size = 0;
      slot.Arrived.notify_all();
    }
  }
}

} // namespace zol
