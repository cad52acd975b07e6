#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/HidPlatform.h"

namespace zol::test {

using TCommandFrame = std::array<std::uint8_t, 8>;

/// What the scripted instrument repeats in every input report (counter and checksum are added
/// when the report is read, unless CorruptChecksum).
struct TScriptedAnswer {
  std::uint8_t Code = 0x00;
  std::uint8_t Status = 0x00;
  std::int16_t MeasureTenths = 0;
  std::array<std::uint8_t, 6> Payload{};
  bool CorruptChecksum = false;
};

/// A HID platform with one matching instrument ("scripted:rw8", 13-byte input and 9-byte output
/// reports) and one foreign device. The instrument streams its current answer in every report
/// with an advancing counter, like the real one; every command written is recorded and handed
/// to the responder, which chooses the next answer (nullopt: the instrument ignores it).
class TScriptedInstrument final : public HidPlatform {
public:
  using TResponder = std::function<std::optional<TScriptedAnswer>(const TCommandFrame &)>;

  TScriptedInstrument();

  // ---- Script ----
  /// Replaces the responder (it runs under the instrument's lock and must not call back into
  /// it); the default answers every command with its own code, Status and
  /// the payload set by SetPayload for that code.
  void SetResponder(TResponder Responder);
  /// The default responder's payload for answers of Code.
  void SetPayload(std::uint8_t Code, std::array<std::uint8_t, 6> Payload);
  /// The status byte of the default responder's answers (and of the current answer).
  void SetStatus(std::uint8_t Status);
  /// Replaces the answer being repeated.
  void SetAnswer(const TScriptedAnswer &Answer);
  void SetCounter(std::uint8_t Counter);
  /// The instrument takes Reports more reports to act on a command: until then it repeats the
  /// answer it had (0: it answers in the very next report).
  void SetAnswerDelay(int Reports);
  void SetPresent(bool Present);
  /// Every n-th report goes out with a bad checksum (0: none).
  void SetCorruptEvery(int n);
  void SetIdentity(std::string Manufacturer, std::string Product, std::string Serial);

  // ---- Observation ----
  std::vector<TCommandFrame> Frames() const;
  /// Codes of the commands received so far.
  std::vector<std::uint8_t> Codes() const;
  std::uint64_t Reads() const;
  /// Waits (bounded) until at least n commands have been received.
  bool WaitFrames(std::size_t n, std::chrono::milliseconds Timeout = std::chrono::seconds(5));
  /// Waits (bounded) until n more reports have been served after this call.
  bool WaitReads(std::uint64_t n, std::chrono::milliseconds Timeout = std::chrono::seconds(5));

  // ---- HidPlatform ----
  std::vector<std::string> ListInterfaces(bool includeRegistered) override;
  HidHandle Open(const std::string &path) override;
  std::string LastOpenError() const override;
  void Close(HidHandle handle) override;
  bool GetAttributes(HidHandle handle, HidAttributes &attributes) override;
  bool GetManufacturerString(HidHandle handle, std::string &text) override;
  bool GetProductString(HidHandle handle, std::string &text) override;
  bool GetSerialNumberString(HidHandle handle, std::string &text) override;
  bool GetReportLengths(HidHandle handle, HidReportLengths &lengths) override;
  int Read(HidHandle handle, std::uint8_t *buffer, int length, int timeoutMs) override;
  int Write(HidHandle handle, const std::uint8_t *report, int length) override;

  static constexpr char kPath[] = "scripted:rw8";
  static constexpr char kForeignPath[] = "scripted:mouse";

private:
  std::optional<TScriptedAnswer> DefaultResponse(const TCommandFrame &Frame) const;
  bool IsInstrument(HidHandle handle) const;

  // Protects every field below; Changed is signalled on each read and write.
  mutable std::mutex Mutex;
  std::condition_variable Changed;
  TResponder Responder;
  std::map<std::uint8_t, std::array<std::uint8_t, 6>> Payloads;
  std::uint8_t Status = 0;
  TScriptedAnswer Current;
  std::optional<TScriptedAnswer> Next;
  int AnswerDelay = 0;
  int Countdown = 0;
  int CorruptEvery = 0;
  std::uint8_t Counter = 0;
  bool Present = true;
  std::string Manufacturer = "KOVA";
  std::string Product = "RW8";
  std::string Serial = "0123456789ABCDEF";
  std::vector<TCommandFrame> Received;
  std::uint64_t ReadCount = 0;
  std::map<HidHandle, std::string> Handles;
  HidHandle NextHandle = 1;
};

} // namespace zol::test
