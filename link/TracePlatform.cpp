#include "link/TracePlatform.h"

#include <algorithm>

#include "protocol/Utils.h"

namespace zol {

TracePlatform::TracePlatform(HidPlatform &Inner, std::ostream *Trace, bool ShowSecrets)
    : ForwardingHidPlatform(Inner), Trace(Trace), ShowSecrets(ShowSecrets) {}

std::string TracePlatform::CommandLine(const std::uint8_t *Frame, bool ShowSecrets) {
  const std::uint8_t code = Frame[CommandOffset::Code];
  const bool secret = code == CodeOf(TCommand::Unlock) || code == CodeOf(TCommand::ChangePassword);
  // The checksum would tell the sum of the password bytes: masked with them.
  return "-> " + HexBytes(Frame, kCommandLength, " ",
                          secret && !ShowSecrets ? CommandOffset::Checksum : -1);
}

std::string TracePlatform::AnswerLine(const std::uint8_t *Frame) {
  return "<- " + HexBytes(Frame, kAnswerLength);
}

void TracePlatform::Print(const std::string &Line) {
  if (!Trace)
    return;
  std::lock_guard lock(TraceMutex);
  *Trace << Line << '\n';
  Trace->flush();
}

int TracePlatform::Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) {
  int count = Inner.Read(handle, buffer, length, timeoutMs);
  if (Lag > 0 && count > 0) {
    Late.emplace_back(buffer, buffer + count);
    if (static_cast<int>(Late.size()) <= Lag)
      return 0; // nothing yet, as a read that timed out
    std::vector<std::uint8_t> &oldest = Late.front();
    count =
        static_cast<int>(std::min<std::size_t>(oldest.size(), static_cast<std::size_t>(length)));
    std::copy(oldest.begin(), oldest.begin() + count, buffer);
    Late.pop_front();
  }
  if (count > kAnswerLength) {
    const std::uint8_t *answer = buffer + 1; // after the report id
    if (Trace)
      Print(AnswerLine(answer));
    if (AnswerListener && FrameChecksumValid(answer, kAnswerLength))
      AnswerListener(answer[AnswerOffset::Code]);
  }
  return count;
}

int TracePlatform::Write(HidHandle handle, const std::uint8_t *report, int length) {
  int written = -1;
  {
    // Held across the write: Shut waits for a write under way, which then counts as sent.
    std::lock_guard lock(WriteMutex);
    if (Closed)
      return -1;
    written = Inner.Write(handle, report, length);
    if (written == length && length > kCommandLength) {
      const std::uint8_t code = report[1 + CommandOffset::Code];
      ++Sent.Count[code];
      Sent.Last[code] = ++Sent.Total;
    }
  }
  // Outside the lock: a stalled standard error must not hold up Shut.
  if (Trace && written == length && length > kCommandLength)
    Print(CommandLine(report + 1, ShowSecrets));
  return written;
}

void TracePlatform::Shut() {
  std::lock_guard lock(WriteMutex);
  Closed = true;
}

TracePlatform::TWritten TracePlatform::Written() const {
  std::lock_guard lock(WriteMutex);
  return Sent;
}

} // namespace zol
