#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>

#include "protocol/ZOL.h"

namespace zol {

/// zolctl's JSON: keys in the order they are added.
using TJson = nlohmann::ordered_json;

/// Bytes as JSON text: valid UTF-8 is kept; every byte that is not part of it is taken as a
/// Latin-1 character (the code page of the instrument's parameter files), so the text is right
/// and the JSON valid for any bytes.
std::string JsonText(std::string_view Bytes);

/// Bytes as a terminal may show them: printable UTF-8 is kept; control characters, escape
/// sequences and bytes that are not UTF-8 become \xHH.
std::string Printable(std::string_view Bytes);

/// Bytes as HTML text: Printable, then &, <, >, " and ' as character references.
std::string HtmlText(std::string_view Bytes);

/// Bytes as one field of a CSV line: Printable, quoted (quotes doubled) when it holds a comma, a
/// quote or starts or ends with a space.
std::string CsvField(std::string_view Bytes);

/// A number with Decimals decimals, as text.
std::string Fixed(double Value, int Decimals = 1);
/// A number rounded to Decimals decimals, for JSON; null when not finite.
TJson JsonNumber(double Value, int Decimals = 1);

std::string MeasureText(float Measure);
TJson AlarmJson(const TZOLAlarm &Alarm);
std::string AlarmLines(int Number, const TZOLAlarm &Alarm);
void SettingsOut(const TZOLSettings &Settings, TJson &Json, std::string &Text);
void StateOut(const TZOLModel &Model, TJson &Json, std::string &Text);
/// One monitor line (text, JSON or CSV) for a state.
std::string MonitorLine(const TZOLModel &Model, bool Json, bool Csv,
                        std::chrono::system_clock::time_point When);

/// A failed write to standard output.
struct EOutputFailed {};

/// Writes Text to Out and flushes it; throws EOutputFailed when the stream fails.
void Emit(std::ostream &Out, std::string_view Text);

} // namespace zol

namespace zol {
/// One line of JSON; never throws on the text it holds.
std::string JsonDump(const TJson &Json);
} // namespace zol
