#include "protocol/WROP.h"

#include "protocol/Utils.h"

namespace zol {

int WROPSlot(std::uint8_t SlotMask) {
  for (int Slot = 0; Slot < kHistoryRecords; ++Slot) {
    if (SlotMask == WROPSlotMask(Slot)) {
      return Slot;
    }
  }
  return -1;
}

TWROP WROPFromBytes(const std::uint8_t *Bytes) {
  TWROP Record;
  Record.SlotMask = Bytes[WROPOffset::SlotMask];
  Record.OpCode = Bytes[WROPOffset::OpCode];
  Record.OpDate = GetUInt16LE(Bytes + WROPOffset::OpDate);
  Record.OpTime = GetUInt16LE(Bytes + WROPOffset::OpTime);
  return Record;
}

void WROPToBytes(const TWROP &Record, std::uint8_t *Bytes) {
  Bytes[WROPOffset::SlotMask] = Record.SlotMask;
  Bytes[WROPOffset::OpCode] = Record.OpCode;
  PutUInt16LE(Bytes + WROPOffset::OpDate, Record.OpDate);
  PutUInt16LE(Bytes + WROPOffset::OpTime, Record.OpTime);
}

std::string WROPOperationName(std::uint8_t OpCode) {
  switch (static_cast<TCommand>(OpCode)) {
  case TCommand::SendFilter:
    return "Changement de la valeur du filtre";
  case TCommand::SendAlarm1:
    return "Changement des paramètres de l'alarme n°1";
  case TCommand::SendAlarm2:
    return "Changement des paramètres de l'alarme n°2";
  case TCommand::SendTag1:
    return "Changement du TAG (1)";
  case TCommand::SendTag2:
    return "Changement du TAG";
  case TCommand::ChangePassword:
    return "Changement du mot de passe";
  case TCommand::AdjustZero:
    return "Ajustage de zéro";
  case TCommand::AdjustFullScale:
    return "Ajustage de la pleine échelle";
  case TCommand::ProgramFirmware:
    return "Programmation du firmware USB";
  case TCommand::EraseFirmware:
    return "Effacement du firmware USB";
  case TCommand::EraseFirmwareMemory:
    return "Effacement total de la mémoire du firmware USB";
  default:
    return "???";
  }
}

std::string WROPDateText(std::uint16_t OpDate) {
  int Day = 0, Month = 0, Year = 0;
  DecodeDeviceDate(OpDate, Day, Month, Year);
  return std::to_string(Day) + "/" + std::to_string(Month) + "/" + std::to_string(Year);
}

std::string WROPTimeText(std::uint16_t OpTime) {
  int Hour = 0, Minute = 0;
  DecodeDeviceTime(OpTime, Hour, Minute);
  return std::to_string(Hour) + ":" + std::to_string(Minute);
}

/// The codes whose accepted writes the instrument records in its history.
bool IsRecordedWrite(std::uint8_t Code) {
  switch (static_cast<TCommand>(Code)) {
  case TCommand::SendFilter:
  case TCommand::SendAlarm1:
  case TCommand::SendAlarm2:
  case TCommand::SendTag1:
  case TCommand::SendTag2:
  case TCommand::ChangePassword:
  case TCommand::AdjustZero:
  case TCommand::AdjustFullScale:
  case TCommand::ProgramFirmware:
  case TCommand::EraseFirmware:
  case TCommand::EraseFirmwareMemory:
    return true;
  default:
    return false;
  }
}

} // namespace zol
