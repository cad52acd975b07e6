#include "sim/Faults.h"

#include <array>
#include <charconv>
#include <cmath>

#include "sim/VirtualRW8.h"

namespace zol {

namespace {

using K = TSimFaultKind;
using V = TSimFaultValue;
using T = TSimFaultTime;

constexpr std::uint8_t kBoth = static_cast<std::uint8_t>(TSimFaultUser::Zolctl) |
                               static_cast<std::uint8_t>(TSimFaultUser::Gadget);
constexpr std::uint8_t kZolctl = static_cast<std::uint8_t>(TSimFaultUser::Zolctl);
constexpr std::uint8_t kGadget = static_cast<std::uint8_t>(TSimFaultUser::Gadget);

// In the order of TSimFaultKind.
constexpr std::array<TSimFaultInfo, 15> kFaults = {{
    {K::Healthy, "healthy", V::None, "", 0, 0, "clears the run-time faults", kGadget, T::Start},
    {K::Silent, "silent", V::None, "", 0, 0, "no reports, commands lost", kBoth, T::Start},
    {K::Unplugged, "unplugged", V::None, "", 0, 0, "starts unplugged", kBoth, T::Start},
    {K::UnplugOnOpen, "unplug-on-open", V::None, "", 0, 0, "unplugged once opened", kZolctl,
     T::Open},
    {K::SensorFailure, "sensor-failure", V::None, "", 0, 0, "the sensor has failed", kBoth,
     T::Start},
    {K::ErrorAnswers, "error-answers", V::None, "", 0, 0, "answers 0xFF to everything", kBoth,
     T::Start},
    {K::Oversized, "oversized", V::None, "", 0, 0, "declares 300-byte reports", kBoth, T::Start},
    {K::PermissionDenied, "permission-denied", V::None, "", 0, 0, "may not be opened", kZolctl,
     T::Start},
    {K::Drop, "drop", V::Share, "SHARE", 0, 1, "that share of the commands lost", kBoth, T::Start},
    {K::Corrupt, "corrupt", V::Share, "SHARE", 0, 1, "that share of the reports corrupted", kBoth,
     T::Start},
    {K::Slow, "slow", V::Integer, "MS", 1, 1000, "report period", kZolctl, T::Start},
    {K::Blip, "blip", V::Integer, "MS", 1, 60000, "unplugged MS ms after opening, back MS ms later",
     kZolctl, T::Open},
    {K::Lag, "lag", V::Integer, "N", 1, 100, "reports reach zolctl N reports late, all instruments",
     kZolctl, T::Host},
    {K::Serial, "serial", V::Text, "TEXT", 1, 32, "that serial number", kZolctl, T::Identity},
    {K::PlugIn, "plug-in", V::Integer, "MS", 1, 60000, "starts unplugged, plugged in MS ms later",
     kZolctl, T::Start},
}};

std::string Range(const TSimFaultInfo &F) {
  const auto Number = [](double X) {
    char Text[32];
    const auto End = std::to_chars(Text, Text + sizeof Text, X).ptr;
    return std::string(Text, End);
  };
  if (F.Value == V::Text)
    return Number(F.Min) + " to " + Number(F.Max) + " characters";
  return F.ValueName + std::string(" ") + Number(F.Min) + " to " + Number(F.Max);
}

/// The names User takes, for a message.
std::string Names(TSimFaultUser User) {
  std::string Names;
  for (const TSimFaultInfo &f : kFaults)
    if (f.TakenBy(User))
      Names += (Names.empty() ? "" : ", ") + std::string(f.Name) + (f.Value == V::None ? "" : "=");
  return Names;
}

TSimFaultParse Refuse(std::string Why) {
  return {std::nullopt, std::move(Why)};
}

} // namespace

std::span<const TSimFaultInfo> SimFaultTable() {
  return kFaults;
}

const TSimFaultInfo &SimFaultInfo(TSimFaultKind Kind) {
  return kFaults[static_cast<std::size_t>(Kind)];
}

TSimFaultParse ParseSimFault(std::string_view Text, TSimFaultUser User, int MaxInstrument) {
  TSimFault Fault;
  std::string_view Rest = Text;
  // "K:FAULT" puts the fault on instrument K alone.
  if (const auto Colon = Rest.find(':'); Colon != std::string_view::npos) {
    const std::string_view Index = Rest.substr(0, Colon);
    const auto [end, ec] =
        std::from_chars(Index.data(), Index.data() + Index.size(), Fault.Instrument);
    if (MaxInstrument < 0)
      return Refuse("fault " + std::string(Text) +
                    ": no instrument index K: here (one instrument)");
    if (ec != std::errc() || end != Index.data() + Index.size() || Fault.Instrument < 0 ||
        Fault.Instrument > MaxInstrument)
      return Refuse("fault " + std::string(Text) + ": K in K:F is an instrument from 0 to " +
                    std::to_string(MaxInstrument));
    Rest = Rest.substr(Colon + 1);
  }
  const auto Equals = Rest.find('=');
  const std::string_view Name = Rest.substr(0, Equals);
  const TSimFaultInfo *Info = nullptr;
  for (const TSimFaultInfo &f : kFaults)
    if (Name == f.Name)
      Info = &f;
  if (!Info)
    return Refuse("unknown fault " + std::string(Text) + " (known: " + Names(User) + ")");
  if (!Info->TakenBy(User))
    return Refuse("fault " + std::string(Name) + " is not simulated here (known: " + Names(User) +
                  ")");
  Fault.Kind = Info->Kind;
  const std::string How = std::string(Info->Name) + "=" + Info->ValueName;
  if (Info->Value == V::None) {
    if (Equals != std::string_view::npos)
      return Refuse("fault " + std::string(Name) + " takes no value");
    return {std::move(Fault), {}};
  }
  if (Equals == std::string_view::npos)
    return Refuse("fault " + std::string(Name) + " takes a value: " + How + " (" + Range(*Info) +
                  ")");
  std::string_view Value = Rest.substr(Equals + 1);
  const char *First = Value.data();
  const char *Last = First + Value.size();
  bool Good = false;
  switch (Info->Value) {
  case V::Share: {
    if (First != Last && *First == '+')
      ++First;
    const auto [end, ec] = std::from_chars(First, Last, Fault.Share);
    Good = ec == std::errc() && end == Last && std::isfinite(Fault.Share) &&
           Fault.Share >= Info->Min && Fault.Share <= Info->Max;
    break;
  }
  case V::Integer: {
    const auto [end, ec] = std::from_chars(First, Last, Fault.Number);
    Good =
        ec == std::errc() && end == Last && Fault.Number >= Info->Min && Fault.Number <= Info->Max;
    break;
  }
  case V::Text:
    Fault.Text = std::string(Value);
    Good = Fault.Text.size() >= Info->Min && Fault.Text.size() <= Info->Max;
    break;
  case V::None:
    break;
  }
  if (!Good)
    return Refuse("fault " + std::string(Text) + ": " + How + " takes " +
                  (Info->Value == V::Text ? "" : "a number, ") + Range(*Info));
  return {std::move(Fault), {}};
}

std::string SimFaultText(const TSimFault &Fault) {
  const TSimFaultInfo &Info = SimFaultInfo(Fault.Kind);
  std::string Text = Fault.Instrument < 0 ? "" : std::to_string(Fault.Instrument) + ":";
  Text += Info.Name;
  switch (Info.Value) {
  case V::Share: {
    char Number[32];
    Text +=
        "=" + std::string(Number, std::to_chars(Number, Number + sizeof Number, Fault.Share).ptr);
    break;
  }
  case V::Integer:
    Text += "=" + std::to_string(Fault.Number);
    break;
  case V::Text:
    Text += "=" + Fault.Text;
    break;
  case V::None:
    break;
  }
  return Text;
}

bool ApplySimFault(VirtualRW8 &Instrument, const TSimFault &Fault) {
  switch (Fault.Kind) {
  case K::Healthy:
    Instrument.SetSilent(false);
    Instrument.SetSensorFailure(false);
    Instrument.SetErrorAnswers(false);
    Instrument.SetDropShare(0, kSimFaultSeed);
    Instrument.SetCorruptShare(0, kSimFaultSeed);
    return true;
  case K::Silent:
    Instrument.SetSilent(true);
    return true;
  case K::Unplugged:
  case K::PlugIn: // zolctl plugs it in when the time has come
    Instrument.SetPresent(false);
    return true;
  case K::SensorFailure:
    Instrument.SetSensorFailure(true);
    return true;
  case K::ErrorAnswers:
    Instrument.SetErrorAnswers(true);
    return true;
  case K::Oversized:
    Instrument.SetOversizedReports(true);
    return true;
  case K::PermissionDenied:
    Instrument.SetPermissionDenied(true);
    return true;
  case K::Drop:
    Instrument.SetDropShare(Fault.Share, kSimFaultSeed);
    return true;
  case K::Corrupt:
    Instrument.SetCorruptShare(Fault.Share, kSimFaultSeed);
    return true;
  case K::Slow:
    Instrument.SetReportPeriod(Fault.Number);
    return true;
  case K::UnplugOnOpen:
  case K::Blip:
  case K::Lag:
  case K::Serial:
    break;
  }
  return false;
}

std::string SimFaultHelp(TSimFaultUser User, std::size_t Width) {
  std::string Text;
  for (const TSimFaultInfo &f : kFaults) {
    if (!f.TakenBy(User))
      continue;
    Text += Text.empty() ? "" : ", ";
    Text += f.Name;
    if (f.Value != V::None)
      Text += std::string("=") + f.ValueName;
    Text += std::string(" (") + f.Help;
    if (f.Value != V::None)
      Text += ", " + Range(f);
    Text += ")";
  }
  // Broken between words: a fault's name holds no space.
  std::string Help, Line;
  for (std::size_t At = 0; At < Text.size();) {
    std::size_t End = Text.find(' ', At);
    if (End == std::string::npos)
      End = Text.size();
    const std::string Word = Text.substr(At, End - At);
    if (!Line.empty() && Line.size() + 1 + Word.size() > Width) {
      Help += Line + "\n";
      Line.clear();
    }
    Line += (Line.empty() ? "" : " ") + Word;
    At = End + 1;
  }
  return Help + Line;
}

} // namespace zol
