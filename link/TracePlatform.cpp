#include "link/TracePlatform.h"

#include <algorithm>

#include "protocol/Utils.h"

namespace zol {

TracePlatform::TracePlatform(HidPlatform &Wrapped, std::ostream *TraceTo, bool WithSecrets)
    : ForwardingHidPlatform(Wrapped), Trace(TraceTo), ShowSecrets(WithSecrets) {}

std::string TracePlatform::CommandLine(const std::uint8_t *Frame, bool ShowSecrets) {
  const std::uint8_t Code = Frame[CommandOffset::Code];
  const bool Secret = Code == CodeOf(TCommand::Unlock) || Code == CodeOf(TCommand::ChangePassword);
  // The checksum would tell the sum of the password bytes: masked with them.
  return "-> " + HexBytes(Frame, kCommandLength, " ",
                          Secret && !ShowSecrets ? CommandOffset::Checksum : -1);
}

std::string TracePlatform::AnswerLine(const std::uint8_t *Frame) {
  return "<- " + HexBytes(Frame, kAnswerLength);
}

void TracePlatform::Print(const std::string &Line) {
  if (!Trace)
    return;
  std::lock_guard Lock(TraceMutex);
  *Trace << Line << '\n';
  Trace->flush();
}

int TracePlatform::Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) {
  int Count = Inner.Read(Handle, Buffer, Length, TimeoutMs);
  if (Lag > 0 && Count > 0) {
    Late.emplace_back(Buffer, Buffer + Count);
    if (static_cast<int>(Late.size()) <= Lag)
      return 0; // nothing yet, as a read that timed out
    std::vector<std::uint8_t> &Oldest = Late.front();
    Count =
        static_cast<int>(std::min<std::size_t>(Oldest.size(), static_cast<std::size_t>(Length)));
    std::copy(Oldest.begin(), Oldest.begin() + Count, Buffer);
    Late.pop_front();
  }
  if (Count > kAnswerLength) {
    const std::uint8_t *Answer = Buffer + 1; // after the report id
    if (Trace)
      Print(AnswerLine(Answer));
    if (AnswerListener && FrameChecksumValid(Answer, kAnswerLength))
      AnswerListener(Answer[AnswerOffset::Code]);
  }
  return Count;
}

int TracePlatform::Write(HidHandle Handle, const std::uint8_t *Report, int Length) {
  int Written = -1;
  {
    // Held across the write: Shut waits for a write under way, which then counts as sent.
    std::lock_guard Lock(WriteMutex);
    if (Closed)
      return -1;
    Written = Inner.Write(Handle, Report, Length);
    if (Written == Length && Length > kCommandLength) {
      const std::uint8_t Code = Report[1 + CommandOffset::Code];
      ++Sent.Count[Code];
      Sent.Last[Code] = ++Sent.Total;
    }
  }
  // Outside the lock: a stalled standard error must not hold up Shut.
  if (Trace && Written == Length && Length > kCommandLength)
    Print(CommandLine(Report + 1, ShowSecrets));
  return Written;
}

void TracePlatform::Shut() {
  std::lock_guard Lock(WriteMutex);
  Closed = true;
}

TracePlatform::TWritten TracePlatform::Written() const {
  std::lock_guard Lock(WriteMutex);
  return Sent;
}

} // namespace zol
