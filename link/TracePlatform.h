#pragma once

#include <array>
#include <deque>
#include <functional>
#include <mutex>
#include <ostream>

#include "link/ForwardingHidPlatform.h"

namespace zol {

/// A HidPlatform that passes everything to another one and watches the frames on the wire: it
/// can print them, one line a frame flushed as it goes (the --trace of zolctl, the configurator's
/// ZOLCFG_TRACE), and tells a listener the code of every valid answer.
class TracePlatform final : public ForwardingHidPlatform {
public:
  /// Called on the worker with the code of each answer whose checksum is valid, before the
  /// device component decodes it.
  using TAnswerListener = std::function<void(std::uint8_t Code)>;

  TracePlatform(HidPlatform &Inner, std::ostream *Trace, bool ShowSecrets);

  void SetAnswerListener(TAnswerListener Listener) { AnswerListener = std::move(Listener); }
  /// (Testing) Hands each input report on Reports reads late, as a host whose buffer holds old
  /// reports when a command goes out (the simulator's lag=N fault). Set before the worker starts.
  void SetLag(int Reports) { Lag = Reports; }
  /// The commands written whole to the instrument: how many of each code, and the rank of the
  /// last one of each among all written (0: none).
  struct TWritten {
    std::array<long, 256> Count{};
    std::array<long, 256> Last{};
    long Total = 0;
  };

  /// Closes the way to the instrument: once it returns, a write in progress has ended (and is
  /// counted) and every later one writes nothing and fails. Any thread (the signal watcher).
  void Shut();
  TWritten Written() const;

  /// A command frame as --trace prints it: "-> " and 8 upper-case hex bytes; the password
  /// bytes of unlock and password-change frames are masked unless ShowSecrets.
  static std::string CommandLine(const std::uint8_t *Frame, bool ShowSecrets);
  /// An answer frame as --trace prints it: "<- " and 12 upper-case hex bytes.
  static std::string AnswerLine(const std::uint8_t *Frame);

  int Read(HidHandle Handle, std::uint8_t *Buffer, int Length, int TimeoutMs) override;
  int Write(HidHandle Handle, const std::uint8_t *Report, int Length) override;

private:
  void Print(const std::string &Line);

  std::ostream *Trace;
  bool ShowSecrets;
  TAnswerListener AnswerListener; // set before the worker starts
  int Lag = 0;                    // set before the worker starts
  mutable std::mutex WriteMutex;  //!< Protects Closed and Sent; held while writing.
  bool Closed = false;
  TWritten Sent;
  std::deque<std::vector<std::uint8_t>> Late; // reports held back; the worker's alone
  std::mutex TraceMutex; //!< Protects writes to *Trace (worker and main thread).
};

} // namespace zol
