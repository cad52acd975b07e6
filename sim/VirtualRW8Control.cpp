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
    std::lock_guard Lock(Mutex);
    if (IsPresent == Present)
      return;
    IsPresent = Present;
    if (Present)
      PlugIn();
    else
      ++Generation;
  }
  std::lock_guard Listen(ListenerMutex);
  if (Listener)
    Listener->PresenceChanged(ListenerCookie);
}

void VirtualRW8::SetSilent(bool NewSilent) {
  std::lock_guard Lock(Mutex);
  Silent = NewSilent;
}

void VirtualRW8::DropNextCommands(int Count) {
  std::lock_guard Lock(Mutex);
  DropCount = std::max(0, Count);
}

void VirtualRW8::SetDropShare(double Share, std::uint32_t Seed) {
  std::lock_guard Lock(Mutex);
  DropShare = std::isfinite(Share) ? std::clamp(Share, 0.0, 1.0) : 0.0;
  DropRandom.seed(Seed);
}

void VirtualRW8::SetCorruptShare(double Share, std::uint32_t Seed) {
  std::lock_guard Lock(Mutex);
  CorruptShare = std::isfinite(Share) ? std::clamp(Share, 0.0, 1.0) : 0.0;
  Random.seed(Seed);
}

void VirtualRW8::SetSensorFailure(bool Failure) {
  std::lock_guard Lock(Mutex);
  SensorFailure = Failure;
}

void VirtualRW8::SetErrorAnswers(bool Error) {
  std::lock_guard Lock(Mutex);
  ErrorAnswers = Error;
}

void VirtualRW8::SetOversizedReports(bool NewOversized) {
  std::lock_guard Lock(Mutex);
  Oversized = NewOversized;
}

void VirtualRW8::SetPermissionDenied(bool NewDenied) {
  std::lock_guard Lock(Mutex);
  Denied = NewDenied;
}

void VirtualRW8::SetReportPeriod(int Milliseconds) {
  {
    std::lock_guard Lock(Mutex);
    PeriodMs = std::clamp(Milliseconds, 1, 1000);
  }
  {
    std::lock_guard Lock(RunMutex);
    PeriodChanged = true;
  }
  RunChanged.notify_all();
}

void VirtualRW8::SetTemperature(std::optional<float> Celsius) {
  std::lock_guard Lock(Mutex);
  Pinned = Celsius;
  if (Pinned)
    Filtered = *Pinned;
}

void VirtualRW8::SetOptionFlags(bool UseDisplay, bool UseE2PROM) {
  {
    std::lock_guard Lock(Mutex);
    Store.UseDisplay = UseDisplay;
    Store.UseE2PROM = UseE2PROM;
    MarkDirty();
  }
  SaveMemory();
}

TSimLinkState VirtualRW8::LinkState() const {
  std::lock_guard Lock(Mutex);
  return TSimLinkState{IsPresent, Generation, Oversized, Denied, PeriodMs};
}

TSimSnapshot VirtualRW8::Snapshot() const {
  std::lock_guard Lock(Mutex);
  TSimSnapshot n;
  n.Settings = Store;
  n.Password = Pass;
  n.WriteLocked = Locked;
  n.History = History;
  n.HistoryCount = HistorySize;
  n.InfoBlock = Info;
  const std::int64_t Ticks = ClockTicks();
  n.ClockDate = static_cast<std::uint16_t>(Ticks / kTicksPerDay);
  n.ClockTime = static_cast<std::uint16_t>(Ticks % kTicksPerDay);
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
  TSimMemory Kept = MemoryLocked();
  std::string Reason;
  Memory = LoadMemoryFile(Opts.MemoryFile, Kept, &Reason);
  if (Memory == TSimMemoryState::Refused) {
    std::lock_guard File(FileMutex);
    FileProblem = Opts.MemoryFile + ": " + Reason + "; the instrument keeps nothing in it";
  }
  if (Memory != TSimMemoryState::Loaded)
    return;
  Store = Kept.Settings;
  Pass = Kept.Password;
  History = Kept.History;
  HistorySize = Kept.HistoryCount;
  Info = Kept.Info;
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
  TSimMemoryImage Image;
  std::uint64_t SavedGeneration;
  {
    std::lock_guard Lock(Mutex);
    // A name refused at the start is never written to.
    if (Memory == TSimMemoryState::Refused)
      return;
    Image = DirtyImage;
    SavedGeneration = DirtyGeneration;
  }
  std::lock_guard File(FileMutex);
  // Another thread may have written a newer image meanwhile; an older one must not replace it.
  if (SavedGeneration <= WrittenGeneration)
    return;
  // A failure leaves the SavedGeneration unwritten, so the next change tries again.
  std::string Reason;
  if (SaveMemoryFile(Opts.MemoryFile, Image, &Reason)) {
    WrittenGeneration = SavedGeneration;
    FileProblem.clear();
  } else {
    FileProblem = Opts.MemoryFile + " could not be written: " + Reason;
  }
}

std::string VirtualRW8::MemoryProblem() const {
  std::lock_guard File(FileMutex);
  return FileProblem;
}

} // namespace zol
