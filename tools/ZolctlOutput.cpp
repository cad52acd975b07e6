#include "tools/ZolctlOutput.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "protocol/StateCsv.h"
#include "tools/ZolctlSystem.h"

namespace zol {

namespace {

/// Length of the valid UTF-8 sequence at Bytes[i], 0 when none starts there.
std::size_t Utf8Length(std::string_view Bytes, std::size_t i) {
  const auto At = [&](std::size_t k) { return static_cast<unsigned char>(Bytes[k]); };
  const unsigned char c = At(i);
  std::size_t n = 0;
  unsigned Min = 0;
  unsigned Code = 0;
  if (c < 0x80)
    return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, Min = 0x80, Code = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, Min = 0x800, Code = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, Min = 0x10000, Code = c & 0x07u;
  } else {
    return 0;
  }
  if (i + n > Bytes.size())
    return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((At(i + k) & 0xC0) != 0x80)
      return 0;
    Code = (Code << 6) | (At(i + k) & 0x3Fu);
  }
  if (Code < Min || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF))
    return 0;
  return n;
}

void AppendLatin1(std::string &Out, unsigned char c) {
  Out += static_cast<char>(0xC0 | (c >> 6));
  Out += static_cast<char>(0x80 | (c & 0x3F));
}

std::string Hex(unsigned char c) {
  return "\\x" + HexByte(c);
}

const char *OnOff(bool Value) {
  return Value ? "on" : "off";
}

} // namespace

std::string JsonText(std::string_view Bytes) {
  std::string Out;
  for (std::size_t i = 0; i < Bytes.size();) {
    const std::size_t n = Utf8Length(Bytes, i);
    if (n == 0) {
      AppendLatin1(Out, static_cast<unsigned char>(Bytes[i]));
      ++i;
    } else {
      Out.append(Bytes.substr(i, n));
      i += n;
    }
  }
  return Out;
}

std::string Printable(std::string_view Bytes) {
  std::string Out;
  for (std::size_t i = 0; i < Bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(Bytes[i]);
    const std::size_t n = Utf8Length(Bytes, i);
    // C1 controls (U+0080 to U+009F) are escape sequences to some terminals.
    const bool C1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(Bytes[i + 1]) < 0xA0;
    if (n == 0 || C1 || c < 0x20 || c == 0x7F) {
      Out += Hex(c);
      ++i;
    } else {
      Out.append(Bytes.substr(i, n));
      i += n;
    }
  }
  return Out;
}

std::string HtmlText(std::string_view Bytes) {
  std::string Out;
  for (const char c : Printable(Bytes)) {
    switch (c) {
    case '&':
      Out += "&amp;";
      break;
    case '<':
      Out += "&lt;";
      break;
    case '>':
      Out += "&gt;";
      break;
    case '"':
      Out += "&quot;";
      break;
    case '\'':
      Out += "&#39;";
      break;
    default:
      Out += c;
    }
  }
  return Out;
}

std::string CsvField(std::string_view Bytes) {
  const std::string Text = Printable(Bytes);
  if (Text.find_first_of(",\"") == std::string::npos &&
      (Text.empty() || (Text.front() != ' ' && Text.back() != ' ')))
    return Text;
  std::string Out = "\"";
  for (const char c : Text)
    Out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return Out + "\"";
}

std::string Fixed(double Value, int Decimals) {
  char Buffer[64];
  std::snprintf(Buffer, sizeof Buffer, "%.*f", Decimals, Value);
  return Buffer;
}

TJson JsonNumber(double Value, int Decimals) {
  if (!std::isfinite(Value))
    return nullptr;
  const double Scale = std::pow(10.0, Decimals);
  return std::round(Value * Scale) / Scale;
}

std::string MeasureText(float Measure) {
  return IsSensorFailureMeasure(Measure) ? "sensor failure" : Fixed(Measure) + " C";
}

TJson AlarmJson(const TZOLAlarm &Alarm) {
  TJson o = TJson::object();
  o["setPoint"] = JsonNumber(Alarm.SetPoint);
  o["hysteresis"] = JsonNumber(Alarm.Hysteresis);
  o["delay"] = JsonNumber(Alarm.Delay);
  o["contactNC"] = Alarm.ContactNC != 0;
  o["failClosed"] = Alarm.FailClosed != 0;
  o["ledBelow"] = Alarm.LedBelow != 0;
  return o;
}

std::string AlarmLines(int Number, const TZOLAlarm &Alarm) {
  return "alarm " + std::to_string(Number) + ": set point " + Fixed(Alarm.SetPoint) +
         " C, hysteresis " + Fixed(Alarm.Hysteresis) + " C, delay " + Fixed(Alarm.Delay) +
         " s\n         contact " + (Alarm.ContactNC ? "normally closed" : "normally open") + ", " +
         (Alarm.FailClosed ? "closed" : "open") + " on sensor failure, LED lit " +
         (Alarm.LedBelow ? "below" : "above") + " the set point\n";
}

void SettingsOut(const TZOLSettings &Settings, TJson &Json, std::string &Text) {
  // The instrument pads its tag with spaces to 16 characters: "tag" is without them.
  const std::string Tag = Settings.Tag.Get();
  Json["tag"] = JsonText(Tag.substr(0, Tag.find_last_not_of(' ') + 1));
  Json["tagRaw"] = JsonText(Tag);
  Json["filter"] = JsonNumber(Settings.Filter, 2);
  Json["alarm1"] = AlarmJson(Settings.Alarm1);
  Json["alarm2"] = AlarmJson(Settings.Alarm2);
  Text += "tag: \"" + Printable(Settings.Tag.Get()) + "\"\n";
  Text += "filter: " + Fixed(Settings.Filter, 2) + " s\n";
  Text += AlarmLines(1, Settings.Alarm1);
  Text += AlarmLines(2, Settings.Alarm2);
}

void StateOut(const TZOLModel &m, TJson &Json, std::string &Text) {
  // A failed sensor has no measurement (the instrument sends a marker value instead).
  const bool Failed = IsSensorFailureMeasure(m.Measure);
  Json["measure"] = Failed ? TJson(nullptr) : JsonNumber(m.Measure);
  Json["sensorFailure"] = Failed;
  Json["relay1"] = m.Relay1;
  Json["led1"] = m.Led1;
  Json["relay2"] = m.Relay2;
  Json["led2"] = m.Led2;
  Json["writeLocked"] = m.WriteLocked;
  Json["useDisplay"] = m.UseDisplay;
  Json["useE2PROM"] = m.UseE2PROM;
  Json["rawValue"] = m.RawValue;
  Json["rt"] = JsonNumber(m.Rt);
  Text += "measure: " + MeasureText(m.Measure) + "\n";
  Text += std::string("relay 1: ") + OnOff(m.Relay1) + "   LED 1: " + OnOff(m.Led1) + "\n";
  Text += std::string("relay 2: ") + OnOff(m.Relay2) + "   LED 2: " + OnOff(m.Led2) + "\n";
  Text += std::string("write lock: ") + (m.WriteLocked ? "locked" : "unlocked") + "\n";
  Text += std::string("options: display ") + (m.UseDisplay ? "yes" : "no") + ", E2PROM " +
          (m.UseE2PROM ? "yes" : "no") + "\n";
  Text += "raw value: " + std::to_string(m.RawValue) + "   Rt: " + Fixed(m.Rt) + "\n";
}

std::string MonitorLine(const TZOLModel &m, bool Json, bool Csv,
                        std::chrono::system_clock::time_point When) {
  if (Csv)
    return StateCsvLine(StateRowOf(
        m, std::chrono::duration_cast<std::chrono::milliseconds>(When.time_since_epoch()).count()));
  if (Json) {
    TJson Line = TJson::object();
    std::string Unused;
    StateOut(m, Line, Unused);
    return JsonDump(Line);
  }
  return MeasureText(m.Measure) + "  relay1 " + OnOff(m.Relay1) + "  led1 " + OnOff(m.Led1) +
         "  relay2 " + OnOff(m.Relay2) + "  led2 " + OnOff(m.Led2) +
         (m.WriteLocked ? "  locked" : "  unlocked") + "\n";
}

void Emit(std::ostream &Out, std::string_view Text) {
  Out.write(Text.data(), static_cast<std::streamsize>(Text.size()));
  Out.flush();
  if (!Out)
    throw EOutputFailed{};
}

} // namespace zol

namespace zol {
std::string JsonDump(const TJson &Json) {
  const std::string Dumped = Json.dump(-1, ' ', false, TJson::error_handler_t::replace);
  // DEL and the C1 controls (U+0080 to U+009F) are escape sequences to some terminals: written
  // as \u escapes. The dump is valid UTF-8, where 0xC2 only ever starts a character.
  std::string Out;
  Out.reserve(Dumped.size() + 1);
  for (std::size_t i = 0; i < Dumped.size(); ++i) {
    const auto c = static_cast<unsigned char>(Dumped[i]);
    const auto Next = i + 1 < Dumped.size() ? static_cast<unsigned char>(Dumped[i + 1]) : 0u;
    if (c == 0x7F) {
      Out += "\\u007f";
    } else if (c == 0xC2 && Next >= 0x80 && Next <= 0x9F) {
      Out += "\\u00" + HexByte(static_cast<std::uint8_t>(Next));
      ++i;
    } else {
      Out += static_cast<char>(c);
    }
  }
  return Out + "\n";
}
} // namespace zol
