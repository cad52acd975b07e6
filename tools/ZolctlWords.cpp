#include "tools/ZolctlWords.h"

#include "protocol/ParamFile.h"
#include "protocol/Utils.h"
#include "tools/ZolctlOutput.h"

namespace zol {

namespace {

/// What a value is called at the start of a sentence, with its alarm: "Alarm 1 set point".
std::string Subject(const TError &Error) {
  const char *Bare = "Value";
  const char *AfterAlarm = "value";
  switch (Error.Quantity) {
  case TQuantity::SetPoint:
    Bare = "Set point";
    AfterAlarm = "set point";
    break;
  case TQuantity::Hysteresis:
    Bare = "Hysteresis";
    AfterAlarm = "hysteresis";
    break;
  case TQuantity::Delay:
    Bare = "Delay";
    AfterAlarm = "Delay";
    break;
  case TQuantity::Value:
    break;
  }
  if (Error.Alarm == 0)
    return Bare;
  return "Alarm " + std::to_string(Error.Alarm) + " " + AfterAlarm;
}

std::string Refused(const TError &Error, const std::string &Why) {
  const char *Unit = Error.Quantity == TQuantity::Delay ? " s" : " °C";
  return Subject(Error) + " " + FormatTenth(Error.Value) + Unit + " cannot be sent: " + Why;
}

std::string Clock(const TError &Error, const std::string &Why) {
  return "Clock " + Printable(Error.Text) + " cannot be sent: " + Why;
}

std::string DeviceDay(int Date) {
  int Day = 0, Month = 0, Year = 0;
  DecodeDeviceDate(static_cast<std::uint16_t>(Date), Day, Month, Year);
  return std::to_string(Day) + "/" + std::to_string(Month) + "/" + std::to_string(Year);
}

std::string Record(const TError &Error, const char *Why) {
  return "History record " + std::to_string(Error.Number) + " did not come: " + Why;
}

std::string NotAParameterFile(const TError &Error, const std::string &Why) {
  return Printable(Error.Text) + " is not a parameter file: " + Why;
}

} // namespace

std::string Worded(const TError &Error) {
  switch (Error.Code) {
  case TErrorCode::NotANumber:
    return Refused(Error, "it is not a number");
  case TErrorCode::OutOfRange:
    return Refused(Error, "the instrument takes " + FormatTenth(kLowestTenths / 10.0) + " to " +
                              FormatTenth(kHighestTenths / 10.0) + " °C");
  case TErrorCode::ClockNotADate:
    return Clock(Error, "it is not a valid date and time");
  case TErrorCode::ClockOutOfRange:
    return Clock(Error, "the instrument counts days from " + DeviceDay(0) + " to " +
                            DeviceDay(static_cast<int>(kDeviceDays - 1)));
  case TErrorCode::HistoryIndexOutOfRange:
    return "History record " + std::to_string(Error.Number) +
           " cannot be asked for: the instrument numbers them 0 to " +
           std::to_string(kLastHistoryIndex);
  case TErrorCode::HistoryInterrupted:
    return "Reading the history was interrupted by another command before record " +
           std::to_string(Error.Number) + " came. Read it again.";
  case TErrorCode::HistoryGone:
    return Record(Error, "the instrument went away. Read the history again.");
  case TErrorCode::HistoryNoAnswer:
    return Record(Error, "the instrument did not answer its request. Read the history again.");
  case TErrorCode::WriteAllInterrupted:
    return "Sending all settings was interrupted by another command: not every setting reached "
           "the instrument. Send them again.";
  case TErrorCode::ReadAllInterrupted:
    return "Reading all settings was interrupted by another command. Read them again.";
  case TErrorCode::CannotRead:
    return "Cannot read " + Printable(Error.Text) + ": " +
           Printable(EnglishSystemReason(Error.System));
  case TErrorCode::CannotWrite:
    return "Cannot write " + Printable(Error.Text) + ": " +
           Printable(EnglishSystemReason(Error.System));
  case TErrorCode::WrongFileStart:
    return NotAParameterFile(Error, "it does not start with \"" + std::string(kParamFileId) + "\"");
  case TErrorCode::FileTooShort:
    return NotAParameterFile(Error,
                             "it is shorter than " + std::to_string(kParamFileLength) + " bytes");
  case TErrorCode::Unexpected:
    break;
  }
  return Printable(Error.Text);
}

} // namespace zol
