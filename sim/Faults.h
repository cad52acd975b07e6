#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zol {

class VirtualRW8;

/// The faults a simulated instrument can be given by name, as zolctl's --sim-fault and
/// zolsim-gadget take them.
enum class TSimFaultKind : std::uint8_t {
  Healthy,
  Silent,
  Unplugged,
  UnplugOnOpen,
  SensorFailure,
  ErrorAnswers,
  Oversized,
  PermissionDenied,
  Drop,
  Corrupt,
  Slow,
  Blip,
  Lag,
  Serial,
  PlugIn,
};

/// What follows "NAME=": nothing, a share from 0 to 1, a whole number, a text.
enum class TSimFaultValue : std::uint8_t { None, Share, Integer, Text };

/// The programs that take a fault, as bits of TSimFaultInfo::Users.
enum class TSimFaultUser : std::uint8_t { Zolctl = 1, Gadget = 2 };

/// When a fault acts, and so who carries it out.
enum class TSimFaultTime : std::uint8_t {
  Start,    ///< on the instrument, at the start or at once (ApplySimFault)
  Identity, ///< the instrument's identity, before it starts (serial)
  Open,     ///< once zolctl has opened the instrument (unplug-on-open, blip)
  Host,     ///< in zolctl's reading of the reports, every instrument's (lag)
};

/// One fault: its name, its value, who takes it, when it acts, what it does.
struct TSimFaultInfo {
  TSimFaultKind Kind;
  const char *Name;
  TSimFaultValue Value;
  const char *ValueName; ///< "SHARE", "MS", "N", "TEXT"; "" without a value
  double Min, Max;       ///< the value's range; for a text, its length
  const char *Help;      ///< what it does, in a few words
  std::uint8_t Users;    ///< TSimFaultUser bits
  TSimFaultTime Time;
  bool TakenBy(TSimFaultUser User) const { return (Users & static_cast<std::uint8_t>(User)) != 0; }
};

/// Every fault, each once.
std::span<const TSimFaultInfo> SimFaultTable();
const TSimFaultInfo &SimFaultInfo(TSimFaultKind Kind);

/// A fault as given: which, on which instrument, with what value.
struct TSimFault {
  TSimFaultKind Kind = TSimFaultKind::Healthy;
  int Instrument = -1; ///< from "K:": instrument K alone; -1: every instrument
  double Share = 0;    ///< TSimFaultValue::Share
  int Number = 0;      ///< TSimFaultValue::Integer
  std::string Text;    ///< TSimFaultValue::Text
  bool operator==(const TSimFault &) const = default;
  bool AppliesTo(int Index) const { return Instrument < 0 || Instrument == Index; }
  TSimFaultTime Time() const { return SimFaultInfo(Kind).Time; }
};

/// A parsed fault, or why the text is none.
struct TSimFaultParse {
  std::optional<TSimFault> Fault;
  std::string Error;
};

/// Parses "NAME", "NAME=VALUE" or "K:NAME[=VALUE]" into a fault that User takes. K is an
/// instrument index from 0 to MaxInstrument; with MaxInstrument < 0 no "K:" is taken.
TSimFaultParse ParseSimFault(std::string_view Text, TSimFaultUser User, int MaxInstrument);

/// The fault written as ParseSimFault takes it back: "K:NAME=VALUE".
std::string SimFaultText(const TSimFault &Fault);

/// Puts the instrument in the fault's state, for a fault of TSimFaultTime::Start ("healthy"
/// clears the run-time faults); false, and nothing done, for the others.
bool ApplySimFault(VirtualRW8 &Instrument, const TSimFault &Fault);

/// The faults User takes, for a help text: "silent (...), ..., drop=SHARE (..., SHARE 0 to 1)",
/// broken into lines of at most Width characters.
std::string SimFaultHelp(TSimFaultUser User, std::size_t Width);

/// The seed of the drawn losses and corruptions of drop=SHARE and corrupt=SHARE: the same run
/// each time.
inline constexpr std::uint32_t kSimFaultSeed = 7;

} // namespace zol
