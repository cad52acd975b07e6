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
  const auto number = [](double X) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, X).ptr;
    return std::string(text, end);
  };
  if (F.Value == V::Text)
    return number(F.Min) + " to " + number(F.Max) + " characters";
  return F.ValueName + std::string(" ") + number(F.Min) + " to " + number(F.Max);
}

/// The names User takes, for a message.
std::string Names(TSimFaultUser User) {
  std::string names;
  for (const TSimFaultInfo &f : kFaults)
    if (f.TakenBy(User))
      names += (names.empty() ? "" : ", ") + std::string(f.Name) + (f.Value == V::None ? "" : "=");
  return names;
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
  TSimFault fault;
  std::string_view rest = Text;
  // "K:FAULT" puts the fault on instrument K alone.
  if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
    const std::string_view index = rest.substr(0, colon);
    const auto [end, ec] =
        std::from_chars(index.data(), index.data() + index.size(), fault.Instrument);
    if (MaxInstrument < 0)
      return Refuse("fault " + std::string(Text) +
                    ": no instrument index K: here (one instrument)");
    if (ec != std::errc() || end != index.data() + index.size() || fault.Instrument < 0 ||
        fault.Instrument > MaxInstrument)
      return Refuse("fault " + std::string(Text) + ": K in K:F is an instrument from 0 to " +
                    std::to_string(MaxInstrument));
    rest = rest.substr(colon + 1);
  }
  const auto equals = rest.find('=');
  const std::string_view name = rest.substr(0, equals);
  const TSimFaultInfo *info = nullptr;
  for (const TSimFaultInfo &f : kFaults)
    if (name == f.Name)
      info = &f;
  if (!info)
    return Refuse("unknown fault " + std::string(Text) + " (known: " + Names(User) + ")");
  if (!info->TakenBy(User))
    return Refuse("fault " + std::string(name) + " is not simulated here (known: " + Names(User) +
                  ")");
  fault.Kind = info->Kind;
  const std::string how = std::string(info->Name) + "=" + info->ValueName;
  if (info->Value == V::None) {
    if (equals != std::string_view::npos)
      return Refuse("fault " + std::string(name) + " takes no value");
    return {std::move(fault), {}};
  }
  if (equals == std::string_view::npos)
    return Refuse("fault " + std::string(name) + " takes a value: " + how + " (" + Range(*info) +
                  ")");
  std::string_view value = rest.substr(equals + 1);
  const char *first = value.data();
  const char *last = first + value.size();
  bool good = false;
  switch (info->Value) {
  case V::Share: {
    if (first != last && *first == '+')
      ++first;
    const auto [end, ec] = std::from_chars(first, last, fault.Share);
    good = ec == std::errc() && end == last && std::isfinite(fault.Share) &&
           fault.Share >= info->Min && fault.Share <= info->Max;
    break;
  }
  case V::Integer: {
    const auto [end, ec] = std::from_chars(first, last, fault.Number);
    good =
        ec == std::errc() && end == last && fault.Number >= info->Min && fault.Number <= info->Max;
    break;
  }
  case V::Text:
    fault.Text = std::string(value);
    good = fault.Text.size() >= info->Min && fault.Text.size() <= info->Max;
    break;
  case V::None:
    break;
  }
  if (!good)
    return Refuse("fault " + std::string(Text) + ": " + how + " takes " +
                  (info->Value == V::Text ? "" : "a number, ") + Range(*info));
  return {std::move(fault), {}};
}

std::string SimFaultText(const TSimFault &Fault) {
  const TSimFaultInfo &info = SimFaultInfo(Fault.Kind);
  std::string text = Fault.Instrument < 0 ? "" : std::to_string(Fault.Instrument) + ":";
  text += info.Name;
  switch (info.Value) {
  case V::Share: {
    char number[32];
    text +=
        "=" + std::string(number, std::to_chars(number, number + sizeof number, Fault.Share).ptr);
    break;
  }
  case V::Integer:
    text += "=" + std::to_string(Fault.Number);
    break;
  case V::Text:
    text += "=" + Fault.Text;
    break;
  case V::None:
    break;
  }
  return text;
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
  std::string text;
  for (const TSimFaultInfo &f : kFaults) {
    if (!f.TakenBy(User))
      continue;
    text += text.empty() ? "" : ", ";
    text += f.Name;
    if (f.Value != V::None)
      text += std::string("=") + f.ValueName;
    text += std::string(" (") + f.Help;
    if (f.Value != V::None)
      text += ", " + Range(f);
    text += ")";
  }
  // Broken between words: a fault's name holds no space.
  std::string help, line;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos)
      end = text.size();
    const std::string word = text.substr(at, end - at);
    if (!line.empty() && line.size() + 1 + word.size() > Width) {
      help += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    at = end + 1;
  }
  return help + line;
}

} // namespace zol
