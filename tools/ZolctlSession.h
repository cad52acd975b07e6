#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "link/TracePlatform.h"
#include "protocol/ZOL.h"
#include "tools/ZolctlArgs.h"

namespace zol {

/// Exit statuses of zolctl.
namespace ZolctlExit {
inline constexpr int Done = 0;
inline constexpr int NoInstrument = 1; ///< none found, gone, or no answer in time
inline constexpr int Usage = 2;        ///< bad arguments, or a value the instrument cannot take
inline constexpr int FileRefused = 3;  ///< parameter or memory file refused, or not written
inline constexpr int Refused = 4;      ///< refused by the instrument, or a value it did not keep
inline constexpr int OutputFailed = 5; ///< standard output could not be written
inline constexpr int SigInt = 130;
inline constexpr int SigTerm = 143;
} // namespace ZolctlExit

/// Ends a command with an exit status and a message for standard error.
struct TExit {
  int Code;
  std::string Message;
};

/// A wait ended by a signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT); Status is 128 + its number.
struct EInterrupted {
  int Status;
};

/// Ends every wait of every session at once, as Ctrl-C does. Not for a signal handler: call it
/// from a thread (TSignalWatch's watcher).
void InterruptWaits(int Status);
/// 128 + the signal's number once interrupted, else 0.
int InterruptStatus();

enum class TEvent {
  Answer, // a valid answer came off the wire (Code)
  Sent,   // a command went out (Code)
  Connect,
  Disconnect,
  State,
  Error,
  Unlocked,
  Alarm1,
  Alarm2,
  Filter,
  Tag,
  Info,
  ReadAll,
  WriteAll,
  WROP,
  Crypted,
  ChainError,
};

/// Events a session keeps waiting for its command; beyond, the oldest goes (and is counted).
inline constexpr std::size_t kMaxQueuedEvents = 256;

struct TEventRecord {
  TEvent Kind;
  std::uint8_t Code = 0;
  TZOLModel Snapshot;
  TWROP Record;
  std::string Message;
};

/// zolctl on one instrument: the device component over a tap of the platform, its events queued
/// for the command's waits. Every wait ends when the awaited event arrives, at the time-out, or at
/// once on an interruption.
class TSession {
public:
  TSession(const TZolctlOptions &Options, HidPlatform &Platform, std::ostream &Out,
           std::ostream &Err);
  ~TSession();
  TSession(const TSession &) = delete;
  TSession &operator=(const TSession &) = delete;

  /// Opens the instrument with serial number Serial (when given) or at index Device, waits for
  /// its first state and unlocks it with Password when it is locked and one is given.
  TZOLModel Connect(const std::optional<std::string> &Serial, int Device);
  /// The serial numbers of the instruments found, by index.
  std::vector<std::string> Serials();
  /// Serials, once the instrument asked for (Serial, else index Device) is among them or
  /// --wait's seconds have passed: each arrival the system tells of is scanned for at once.
  std::vector<std::string> SerialsWithin(const std::optional<std::string> &Serial, int Device);

  /// Takes the system's news of arrivals of the instrument's kind; false where it gives none.
  bool WatchArrivals();
  /// When the system told of an arrival since the last call, the worker looks for its
  /// instrument at once rather than at the end of its pause.
  void LookOnArrival();

  /// Forgets the events received so far (before sending a command whose answer is awaited).
  void Flush();
  /// The next event, or nullopt at Deadline; throws EInterrupted.
  std::optional<TEventRecord> Next(std::chrono::steady_clock::time_point Deadline);
  /// Waits for the first event Accept takes, within the time-out; What names it. An unplug, a
  /// chain error or an error answer ends the wait with TExit.
  TEventRecord Expect(const std::string &What,
                      const std::function<bool(const TEventRecord &)> &Accept);
  TEventRecord Expect(const std::string &What, TEvent Kind);
  /// Waits for the instrument's answer to a command with Code, then the first Kind event after it.
  TEventRecord ExpectAfterAnswer(const std::string &What, std::uint8_t Code, TEvent Kind);

  bool UnlockWith(const std::string &Password);
  void RequireUnlocked(const TZOLModel &State) const;
  /// What reached the instrument, for the message of an interrupted command: counted at the link,
  /// once nothing more can go out.
  std::string SentNote() const;
  /// When the last state answer arrived (the session's start before the first): the
  /// instrument's silence, however late the events are taken from the queue.
  std::chrono::steady_clock::time_point LastStateArrival() const;
  /// Events dropped because the queue was full (a command that did not take them in time).
  long DroppedEvents() const;

  /// The device component; throws EInterrupted once interrupted, so that nothing more is asked
  /// of the instrument.
  TCustomZOL &Zol();
  HidPlatform &Platform() { return Inner; }

  const TZolctlOptions &Options;
  std::ostream &Out;
  std::ostream &Err;
  std::optional<std::string> Password; ///< unlocks a locked instrument at connection
  /// With a serial number: which of the instruments that share it (0 the first).
  int SerialOccurrence = 0;
  /// Called with the index just opened (the simulator's unplug-on-open fault).
  std::function<void(int Index)> AfterOpen;

  // ---- What the journal keeps of a writing command ----
  /// Set before the command: at connection, the instrument's information block and settings
  /// are read into Identity and Before (a read that fails leaves them as far as they came).
  bool Journaled = false;
  /// The instrument as connected (serial number, manufacturer, product; InfoText once read).
  std::optional<TZOLModel> Identity;
  std::optional<TZOLSettings> Before;
  /// Set by a command that read back a value other than the one it sent.
  bool Differs = false;
  /// Every setting read again, for the journal after the command; nullopt when the instrument
  /// did not give them (EInterrupted passes through).
  std::optional<TZOLSettings> ReadSettingsBack();

private:
  void Push(TEventRecord Record);
  /// Journaled: the information block and the settings, before the command sends anything.
  void ReadBefore(const TZOLModel &State);

  HidPlatform &Inner;
  // Destroyed in reverse order: the component (and its worker) before the tap.
  std::unique_ptr<TracePlatform> Tap;
  std::unique_ptr<TCustomZOL> ZOL;
  std::uint64_t SeenArrivals = 0; // the arrivals' count at the last look

  mutable std::mutex EventsMutex; //!< Protects Events, Dropped and LastState.
  std::condition_variable EventsChanged;
  std::deque<TEventRecord> Events;
  long Dropped = 0;
  std::chrono::steady_clock::time_point LastState;

  friend void InterruptWaits(int Status);
};

} // namespace zol
