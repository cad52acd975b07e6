#include "sim/VirtualRW8.h"

#include <algorithm>
#include <cmath>

#include "protocol/Utils.h"

// The faults set at run time, the snapshot of state and counters, and the memory file behind
// the instrument's settings.

namespace zol {

// ---- Faults
// --------------------------------------------------------------------------------------

void VirtualRW8::SetPresent(bool Present) {
  {
    std::lock_guard lock(Mutex);
    if (IsPresent == Present)
      return;
    IsPresent = Present;
    if (Present)
      PlugIn();
    else
      ++Generation;
  }
  std::lock_guard listen(ListenerMutex);
  if (Listener)
    Listener->PresenceChanged(ListenerCookie);
}

void VirtualRW8::SetSilent(bool NewSilent) {
  std::lock_guard lock(Mutex);
  Silent = NewSilent;
}

void VirtualRW8::DropNextCommands(int Count) {
  std::lock_guard lock(Mutex);
  DropCount = std::max(0, Count);
}

void VirtualRW8::SetDropShare(double Share, std::uint32_t Seed) {
  std::lock_guard lock(Mutex);
  DropShare = std::isfinite(Share) ? std::clamp(Share, 0.0, 1.0) : 0.0;
  DropRandom.seed(Seed);
}

void VirtualRW8::SetCorruptShare(double Share, std::uint32_t Seed) {
  std::lock_guard lock(Mutex);
  CorruptShare = std::isfinite(Share) ? std::clamp(Share, 0.0, 1.0) : 0.0;
  Random.seed(Seed);
}

void VirtualRW8::SetSensorFailure(bool Failure) {
  std::lock_guard lock(Mutex);
  SensorFailure = Failure;
}

void VirtualRW8::SetErrorAnswers(bool Error) {
  std::lock_guard lock(Mutex);
  ErrorAnswers = Error;
}

void VirtualRW8::SetOversizedReports(bool NewOversized) {
  std::lock_guard lock(Mutex);
  Oversized = NewOversized;
}

void VirtualRW8::SetPermissionDenied(bool NewDenied) {
  std::lock_guard lock(Mutex);
  Denied = NewDenied;
}

void VirtualRW8::SetReportPeriod(int Milliseconds) {
  {
    std::lock_guard lock(Mutex);
    PeriodMs = std::clamp(Milliseconds, 1, 1000);
  }
  {
    std::lock_guard lock(RunMutex);
    PeriodChanged = true;
  }
  RunChanged.notify_all();
}

void VirtualRW8::SetTemperature(std::optional<float> Celsius) {
  std::lock_guard lock(Mutex);
  Pinned = Celsius;
  if (Pinned)
    Filtered = *Pinned;
}

void VirtualRW8::SetOptionFlags(bool UseDisplay, bool UseE2PROM) {
  {
    std::lock_guard lock(Mutex);
    Store.UseDisplay = UseDisplay;
    Store.UseE2PROM = UseE2PROM;
    MarkDirty();
  }
  SaveMemory();
}

TSimLinkState VirtualRW8::LinkState() const {
  std::lock_guard lock(Mutex);
  return TSimLinkState{IsPresent, Generation, Oversized, Denied, PeriodMs};
}

TSimSnapshot VirtualRW8::Snapshot() const {
  std::lock_guard lock(Mutex);
  TSimSnapshot n;
  n.Settings = Store;
  n.Password = Pass;
  n.WriteLocked = Locked;
  n.History = History;
  n.HistoryCount = HistorySize;
  n.InfoBlock = Info;
  const std::int64_t ticks = ClockTicks();
  n.ClockDate = static_cast<std::uint16_t>(ticks / kTicksPerDay);
  n.ClockTime = static_cast<std::uint16_t>(ticks % kTicksPerDay);
  n.MeasureTenths = MeasureTenthsLocked();
  n.StatusByte = ComputeStatus();
  n.LastCode = Last[CommandOffset::Code];
  n.CommandsReceived = Received;
  n.CommandsCarriedOut = CarriedOut;
  n.CommandsWithBadChecksum = BadChecksum;
  n.CommandsDropped = Dropped;
  n.ReportsSent = Sent;
  n.ReportsCorrupted = Corrupted;
  n.PerCode = PerCode;
  n.MemoryState = Memory;
  return n;
}

// ---- Memory file ------------------------------------------------------------------------------

TSimMemory VirtualRW8::MemoryLocked() const {
  return TSimMemory{Store, Pass, History, HistorySize, Info};
}

void VirtualRW8::LoadMemory() {
  if (Opts.MemoryFile.empty()) {
    Memory = TSimMemoryState::NoFile;
    return;
  }
  // A missing or corrupt file leaves the factory state.
  TSimMemory kept = MemoryLocked();
  std::string reason;
  Memory = LoadMemoryFile(Opts.MemoryFile, kept, &reason);
  if (Memory == TSimMemoryState::Refused) {
    std::lock_guard file(FileMutex);
    FileProblem = Opts.MemoryFile + ": " + reason + "; the instrument keeps nothing in it";
  }
  if (Memory != TSimMemoryState::Loaded)
    return;
  Store = kept.Settings;
  Pass = kept.Password;
  History = kept.History;
  HistorySize = kept.HistoryCount;
  Info = kept.Info;
}

void VirtualRW8::MarkDirty() {
  if (Opts.MemoryFile.empty())
    return;
  DirtyImage = BuildMemoryImage(MemoryLocked());
  ++DirtyGeneration;
}

void VirtualRW8::SaveMemory() {
  if (Opts.MemoryFile.empty())
    return;
  TSimMemoryImage image;
  std::uint64_t generation;
  {
    std::lock_guard lock(Mutex);
    // A name refused at the start is never written to.
    if (Memory == TSimMemoryState::Refused)
      return;
    image = DirtyImage;
    generation = DirtyGeneration;
  }
  std::lock_guard file(FileMutex);
  // Another thread may have written a newer image meanwhile; an older one must not replace it.
  if (generation <= WrittenGeneration)
    return;
  // A failure leaves the generation unwritten, so the next change tries again.
  std::string reason;
  if (SaveMemoryFile(Opts.MemoryFile, image, &reason)) {
    WrittenGeneration = generation;
    FileProblem.clear();
  } else {
    FileProblem = Opts.MemoryFile + " could not be written: " + reason;
  }
}

std::string VirtualRW8::MemoryProblem() const {
  std::lock_guard file(FileMutex);
  return FileProblem;
}

} // namespace zol
