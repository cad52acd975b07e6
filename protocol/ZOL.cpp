#include "protocol/ZOL.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

namespace zol {

namespace {

constexpr std::uint8_t kResendExempt[] = {
    CodeOf(TCommand::Reset), CodeOf(TCommand::ProgramFirmware), CodeOf(TCommand::EraseFirmware),
    CodeOf(TCommand::EraseFirmwareMemory)};

/// Measurement the model holds while the sensor has failed.
constexpr float kSensorFailureMeasure = 9999.0f;

std::string CutShortText(std::string Text) {
  if (Text.size() > kMaxShortText) {
    Text.resize(kMaxShortText);
  }
  return Text;
}

/// The alarm held in an answer's block; the fields no frame carries (the padding) are Previous's.
TZOLAlarm AlarmFromBlock(const std::uint8_t *Block, const TZOLAlarm &Previous) {
  TZOLAlarm Alarm = Previous;
  Alarm.SetPoint = static_cast<float>(GetInt16LE(Block + AlarmBlock::SetPoint) / 10.0);
  Alarm.Hysteresis = static_cast<float>(GetInt16LE(Block + AlarmBlock::Hysteresis) / 10.0);
  Alarm.Delay = static_cast<float>(Block[AlarmBlock::Delay] / 10.0);
  const std::uint8_t Flags = Block[AlarmBlock::Flags];
  Alarm.ContactNC = (Flags & AlarmFlag::ContactNC) ? 1 : 0;
  Alarm.FailClosed = (Flags & AlarmFlag::FailClosed) ? 1 : 0;
  Alarm.LedBelow = (Flags & AlarmFlag::LedBelow) ? 1 : 0;
  return Alarm;
}

} // namespace

// ---- Settings records ---------------------------------------------------------------------------

std::string TTagField::Get() const {
  return std::string(Chars, std::min<std::size_t>(Length, kTagCapacity));
}

void TTagField::Set(std::string_view Text) {
  const std::size_t n = std::min<std::size_t>(Text.size(), kTagCapacity);
  std::memcpy(Chars, Text.data(), n);
  Length = static_cast<std::uint8_t>(n);
}

// ---- Write-operation records ------------------------------------------------------------------

TWROP WROPFromBytes(const std::uint8_t *Bytes) {
  TWROP Record;
  Record.SlotMask = Bytes[0];
  Record.OpCode = Bytes[1];
  Record.OpDate = GetUInt16LE(Bytes + 2);
  Record.OpTime = GetUInt16LE(Bytes + 4);
  return Record;
}

int WROPSlot(std::uint8_t SlotMask) {
  for (int Slot = 0; Slot < 8; ++Slot) {
    if (SlotMask == static_cast<std::uint8_t>(0xFF << Slot)) {
      return Slot;
    }
  }
  return -1;
}

std::string WROPOperationName(std::uint8_t OpCode) {
  switch (OpCode) {
  case 0x20:
    return "Changement de la valeur du filtre";
  case 0x21:
    return "Changement des paramètres de l'alarme n°1";
  case 0x22:
    return "Changement des paramètres de l'alarme n°2";
  case 0x30:
    return "Changement du TAG (1)";
  case 0x31:
    return "Changement du TAG";
  case 0x41:
    return "Changement du mot de passe";
  case 0x60:
    return "Ajustage de zéro";
  case 0x61:
    return "Ajustage de la pleine échelle";
  case 0x66:
    return "Programmation du firmware USB";
  case 0x67:
    return "Effacement du firmware USB";
  case 0x68:
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

// ---- Framing ----------------------------------------------------------------------------------

bool ResendDue(std::uint8_t AnswerCode, std::uint8_t LastCommand, std::uint8_t SentCounter,
               std::uint8_t RxCounter) {
  if (AnswerCode == LastCommand) {
    return false;
  }
  if (std::find(std::begin(kResendExempt), std::end(kResendExempt), LastCommand) !=
      std::end(kResendExempt)) {
    return false;
  }
  // The distance the counter moved, modulo 256: a plain comparison with SentCounter + 3 would
  // resend at once just before the wrap and not for some 250 reports just after it.
  return static_cast<std::uint8_t>(RxCounter - SentCounter) > 3;
}

TZOLComDevice::TZOLComDevice(HidPlatform &Platform) : THIDDevice(Platform) {}

TZOLComDevice::~TZOLComDevice() {
  CloseDevice();
}

int TZOLComDevice::WriteFrame(const std::uint8_t *Frame, int Count) {
  return SendFrame(Frame, Count, -1);
}

int TZOLComDevice::WriteReply(const std::uint8_t *Frame, int Count, std::uint8_t AnsweredCode) {
  return SendFrame(Frame, Count, AnsweredCode);
}

int TZOLComDevice::SendFrame(const std::uint8_t *Frame, int Count, int AnsweredCode) {
  std::uint8_t Copy[kCommandLength]{};
  std::memcpy(Copy, Frame, static_cast<std::size_t>(std::clamp(Count, 0, kCommandLength)));
  std::int64_t Ticket = -1;
  {
    // One step under the framing lock, so that a decoder reply and a user's operation cannot
    // interleave their counter, checksum, LastFrame and queueing.
    std::lock_guard<std::mutex> Lock(FrameMutex);
    if (AnsweredCode >= 0 && AnyFrameSent && LastFrame[CommandOffset::Code] != AnsweredCode) {
      return 0;
    }
    SentCounter = RxCounter;
    Copy[CommandOffset::Checksum] = FrameChecksum(Copy, kCommandLength);
    std::memcpy(LastFrame, Copy, kCommandLength);
    AnyFrameSent = true;
    Ticket = QueueFrame(Copy, kCommandLength);
    LastTicket = Ticket;
    if (OnFrameQueued) {
      OnFrameQueued(Copy[CommandOffset::Code], AnsweredCode >= 0);
    }
  }
  // Waiting happens outside the lock: the worker's own replies must never wait for a user's
  // send, and from the worker this returns at once.
  return WaitFrame(Ticket);
}

int TZOLComDevice::ResendLastFrame(std::uint8_t AnswerCode) {
  std::int64_t Ticket = -1;
  {
    std::lock_guard<std::mutex> Lock(FrameMutex);
    if (!AnyFrameSent ||
        !ResendDue(AnswerCode, LastFrame[CommandOffset::Code], SentCounter, RxCounter)) {
      return 0;
    }
    Ticket = QueueFrame(LastFrame, kCommandLength);
    SentCounter = RxCounter;
    LastTicket = Ticket;
  }
  return WaitFrame(Ticket);
}

void TZOLComDevice::ForgetAnsweredSecret(std::uint8_t AnswerCode) {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  // Once a password command is answered it will not be resent: forget the password. Only a
  // valid answer counts; a corrupted report that happens to read 0x40 must not leave a frame
  // of zeros to be resent for ever.
  // An answer read before the frame went out is a repeat of an earlier one, not its answer.
  const std::uint8_t Last = LastFrame[CommandOffset::Code];
  if (AnswerCode == Last &&
      (Last == CodeOf(TCommand::Unlock) || Last == CodeOf(TCommand::ChangePassword)) &&
      FrameTaken(LastTicket)) {
    WipeBytes(LastFrame + CommandOffset::Checksum, kCommandLength - CommandOffset::Checksum);
  }
}

bool TZOLComDevice::LastFrameOut() const {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  return FrameTaken(LastTicket);
}

void TZOLComDevice::SetRxCounter(std::uint8_t Counter) {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  RxCounter = Counter;
}

TZOLComDevice::TFrameState TZOLComDevice::FrameState() const {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  TFrameState State;
  std::copy(std::begin(LastFrame), std::end(LastFrame), State.LastFrame.begin());
  State.SentCounter = SentCounter;
  State.RxCounter = RxCounter;
  State.AnyFrameSent = AnyFrameSent;
  return State;
}

void TZOLComDevice::SetCounters(std::uint8_t Sent, std::uint8_t Rx) {
  std::lock_guard<std::mutex> Lock(FrameMutex);
  SentCounter = Sent;
  RxCounter = Rx;
}

// ---- The device component: creation and connection --------------------------------------------

TCustomZOL::TCustomZOL(HidPlatform &Platform) : Device(std::make_unique<TZOLComDevice>(Platform)) {
  Device->Vid = 0x0451;
  Device->Pid = 0x0023;
  Device->OnConnect = [this](TObject *Sender) { DeviceConnected(Sender); };
  Device->OnDisconnect = [this](TObject *Sender) { DeviceDisconnected(Sender); };
  Device->OnRXFrame = [this](TObject *Sender) { ProcessFrame(Sender); };
  Device->OnFrameQueued = [this](std::uint8_t Code, bool Reply) {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.LastCommand = Code;
    if (!Reply) {
      // A new command gets its full exchange: the row stopped on an error runs again when the
      // instrument answers this command, even with the same code.
      StoppedAnswer = -1;
    }
  };
}

TCustomZOL::~TCustomZOL() {
  // The worker calls back into this object: stop it before any member goes away.
  Close();
}

int TCustomZOL::Scan() {
  return Device->Enumerate();
}

bool TCustomZOL::Open(int Index) {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.DeviceIndex = Index;
  }
  return Device->OpenDevice(Index);
}

void TCustomZOL::Close() {
  Device->CloseDevice();
}

TZOLModel TCustomZOL::Snapshot() const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  return Model;
}

void TCustomZOL::DeviceConnected(TObject *) {
  try {
    int n = 0;
    {
      std::lock_guard<std::mutex> Lock(ModelMutex);
      n = Model.DeviceIndex + 1;
    }
    // The identity queries open the device a second time; no lock is held meanwhile.
    std::string Manufacturer, Product, SerialNumber;
    Device->Manufacturer(n, Manufacturer);
    Device->Product(n, Product);
    Device->SerialNumber(n, SerialNumber);
    {
      std::lock_guard<std::mutex> Lock(ModelMutex);
      Model.Manufacturer = CutShortText(std::move(Manufacturer));
      Model.Product = CutShortText(std::move(Product));
      Model.SerialNumber = CutShortText(std::move(SerialNumber));
    }
    Raise(OnConnect);
    SetClock();
  } catch (const std::exception &Error) {
    // A clock before 2000 (or past 2179) stops the connection chain, not the worker.
    ReportChainError(Error.what());
  }
}

void TCustomZOL::DeviceDisconnected(TObject *) {
  int Missing = -1;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    if (History.Active) {
      History.Active = false;
      Missing = History.Next;
    }
  }
  if (Missing >= 0) {
    FailHistory(Missing, "the instrument went away. Read the history again.");
  }
  try {
    Raise(OnDisconnect);
  } catch (const std::exception &Error) {
    ReportChainError(Error.what());
  }
}

// ---- Commands -----------------------------------------------------------------------------------

namespace {
/// On the worker, while a row of the decoder runs: the code of the answer it handles, so that
/// the row's reply goes out only if no other command has been sent since. -1 elsewhere.
thread_local int AnswerBeingHandled = -1;
/// While ReadAll or WriteAll sends the first command of its own chain.
thread_local bool StartingChain = false;

struct ChainStart {
  ChainStart() { StartingChain = true; }
  ~ChainStart() { StartingChain = false; }
};

/// While an event handler runs inside a row: what it sends is a command of its own, not the
/// row's reply, so it goes out whatever the row has sent before.
struct HandlerScope {
  HandlerScope() : Saved(AnswerBeingHandled) { AnswerBeingHandled = -1; }
  ~HandlerScope() { AnswerBeingHandled = Saved; }
  HandlerScope(const HandlerScope &) = delete;
  HandlerScope &operator=(const HandlerScope &) = delete;
  int Saved;
};

/// Times a history record is asked for again before the read gives up on it.
constexpr int kHistoryTries = 8;
/// Reports a history read waits for one record, resends included, before it gives up on it.
constexpr int kHistoryReportBudget = 96;
/// Reports after a request beyond which its answer is overdue (as in the resend rule).
constexpr std::uint8_t kAnswerReports = 3;
} // namespace

void TCustomZOL::InterruptChains(bool RestartingHistory) {
  bool Reading = false, Writing = false, Reported = false, History_ = false;
  int HistoryIndex = 0;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Reading = Model.ReadingAll;
    Writing = Model.WritingAll;
    Reported = ChainStopped;
    History_ = History.Active && !RestartingHistory;
    HistoryIndex = History.Next;
    Model.ReadingAll = false;
    Model.WritingAll = false;
    History.Active = false;
    ChainStopped = false;
  }
  if (History_) {
    char Message[160];
    std::snprintf(Message, sizeof Message,
                  "Reading the history was interrupted by another command before record %d "
                  "came. Read it again.",
                  HistoryIndex);
    ReportChainError(Message);
  }
  // Another command replaces the chain's at the instrument: its answers will not come, and a
  // flag left set would turn a later single write into the rest of the old chain.
  if (Reported) {
    return;
  }
  if (Writing) {
    ReportChainError("Sending all settings was interrupted by another command: not every "
                     "setting reached the instrument. Send them again.");
  } else if (Reading) {
    ReportChainError("Reading all settings was interrupted by another command. Read them again.");
  }
}

void TCustomZOL::Send(const TFrame &Frame) {
  if (AnswerBeingHandled < 0 && !StartingChain) {
    InterruptChains();
  }
  if (AnswerBeingHandled >= 0) {
    Device->WriteReply(Frame.data(), kCommandLength, static_cast<std::uint8_t>(AnswerBeingHandled));
  } else {
    Device->WriteFrame(Frame.data(), kCommandLength);
  }
}

void TCustomZOL::SendCommand(std::uint8_t Code) {
  TFrame Frame{};
  Frame[CommandOffset::Code] = Code;
  Send(Frame);
}

void TCustomZOL::ReadTag() {
  SendCommand(CodeOf(TCommand::ReadTag));
}
void TCustomZOL::ReadFilter() {
  SendCommand(CodeOf(TCommand::ReadFilter));
}
void TCustomZOL::ReadAlarm1() {
  SendCommand(CodeOf(TCommand::ReadAlarm1));
}
void TCustomZOL::ReadAlarm2() {
  SendCommand(CodeOf(TCommand::ReadAlarm2));
}

void TCustomZOL::ReadAll() {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    // A read-all asked again restarts; a write-all under way is cut short.
    Model.ReadingAll = false;
  }
  InterruptChains();
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.ReadingAll = true;
  }
  ChainStart Starting;
  SendCommand(CodeOf(TCommand::ReadTag));
}

void TCustomZOL::WriteTag(std::string_view Text) {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.Outgoing.Tag.Set(Text);
  }
  SendTag1();
}

void TCustomZOL::WriteFilter(float Value) {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.Outgoing.Filter = Value;
  }
  SendFilter();
}

void TCustomZOL::WriteAlarm1(const TZOLAlarm &Alarm) {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.Outgoing.Alarm1 = Alarm;
  }
  SendAlarm1();
}

void TCustomZOL::WriteAlarm2(const TZOLAlarm &Alarm) {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.Outgoing.Alarm2 = Alarm;
  }
  SendAlarm2();
}

void TCustomZOL::WriteAll() {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.WritingAll = false; // asked again: starts over
  }
  InterruptChains();
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.WritingAll = true;
    Model.Outgoing = Model.Settings;
  }
  ChainStart Starting;
  SendTag1();
}

void TCustomZOL::SendTagHalf(TCommand Code, int First) {
  char Padded[kTagCapacity + kDeviceTagLength];
  std::size_t Length = 0;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    const TTagField &Tag = Model.Outgoing.Tag;
    Length = std::min<std::size_t>(Tag.Length, kTagCapacity);
    std::memcpy(Padded, Tag.Chars, Length);
  }
  std::memset(Padded + Length, ' ', kDeviceTagLength);
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(Code);
  const auto Low = PackChars(std::string_view(Padded + First, 4));
  const auto High = PackChars(std::string_view(Padded + First + 4, 4));
  std::copy(Low.begin(), Low.end(), Frame.begin() + CommandOffset::Params);
  std::copy(High.begin(), High.end(), Frame.begin() + CommandOffset::Params + 3);
  Send(Frame);
  // The password lives on only in the frame kept for resending, until the instrument answers.
  WipeBytes(Padded, sizeof Padded);
  WipeBytes(Frame.data(), Frame.size());
}

void TCustomZOL::SendTag1() {
  SendTagHalf(TCommand::SendTag1, 0);
}
void TCustomZOL::SendTag2() {
  SendTagHalf(TCommand::SendTag2, 8);
}

void TCustomZOL::SendFilter() {
  float Filter = 0.0f;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Filter = Model.Outgoing.Filter;
  }
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(TCommand::SendFilter);
  const auto Bytes = SingleToBytes(Filter);
  std::copy(Bytes.begin(), Bytes.end(), Frame.begin() + CommandOffset::Params);
  Send(Frame);
}

void TCustomZOL::SendAlarm(TCommand Code, const TZOLAlarm TZOLSettings::*Which, const char *Name) {
  TZOLAlarm Alarm;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Alarm = Model.Outgoing.*Which;
  }
  // Every value is encoded before anything is sent: a range error sends nothing.
  char What[48];
  std::snprintf(What, sizeof What, "Alarm %s set point", Name);
  const std::int16_t SetPoint = ToTenths16(Alarm.SetPoint, What);
  std::snprintf(What, sizeof What, "Alarm %s hysteresis", Name);
  const std::int16_t Hysteresis = ToTenths16(Alarm.Hysteresis, What);
  std::uint8_t Delay = 0;
  try {
    Delay = DelayToTenths8(Alarm.Delay);
  } catch (const ERangeError &Error) {
    // The message says which alarm's delay it was.
    throw ERangeError(std::string("Alarm ") + Name + " " + Error.what());
  }
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(Code);
  std::uint8_t *Block = Frame.data() + CommandOffset::Params;
  PutInt16LE(Block + AlarmBlock::SetPoint, SetPoint);
  PutInt16LE(Block + AlarmBlock::Hysteresis, Hysteresis);
  Block[AlarmBlock::Delay] = Delay;
  Block[AlarmBlock::Flags] = static_cast<std::uint8_t>(
      (Alarm.ContactNC ? AlarmFlag::ContactNC : 0) |
      (Alarm.FailClosed ? AlarmFlag::FailClosed : 0) | (Alarm.LedBelow ? AlarmFlag::LedBelow : 0));
  Send(Frame);
}

void TCustomZOL::SendAlarm1() {
  SendAlarm(TCommand::SendAlarm1, &TZOLSettings::Alarm1, "1");
}
void TCustomZOL::SendAlarm2() {
  SendAlarm(TCommand::SendAlarm2, &TZOLSettings::Alarm2, "2");
}

void TCustomZOL::SetClock() {
  const TDeviceDateTime When = EncodeDeviceDateTime(Clock ? Clock() : LocalNow());
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(TCommand::SetClock);
  PutUInt16LE(Frame.data() + CommandOffset::Params, When.Date);
  PutUInt16LE(Frame.data() + CommandOffset::Params + 2, When.Time);
  Send(Frame);
}

void TCustomZOL::Ping() {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.PingError = false;
  }
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(TCommand::Ping);
  std::copy(kPingPattern.begin(), kPingPattern.end(), Frame.begin() + CommandOffset::Params);
  Send(Frame);
}

void TCustomZOL::ReadInfo() {
  SendCommand(CodeOf(TCommand::ReadInfo));
}
void TCustomZOL::AdjustZero() {
  SendCommand(CodeOf(TCommand::AdjustZero));
}
void TCustomZOL::AdjustFullScale() {
  SendCommand(CodeOf(TCommand::AdjustFullScale));
}
void TCustomZOL::Reset() {
  SendCommand(CodeOf(TCommand::Reset));
}
void TCustomZOL::ProgramFirmware() {
  SendCommand(CodeOf(TCommand::ProgramFirmware));
}
void TCustomZOL::EraseFirmware() {
  SendCommand(CodeOf(TCommand::EraseFirmware));
}
void TCustomZOL::ResetAll() {
  SendCommand(CodeOf(TCommand::ResetAll));
}

void TCustomZOL::SendPasswordBlock(TCommand Code, std::string_view Password) {
  // The text followed by 8 spaces, cut to 8: shorter passwords are padded, longer ones cut.
  char Padded[kPasswordLength];
  std::memset(Padded, ' ', kPasswordLength);
  std::memcpy(Padded, Password.data(), std::min<std::size_t>(Password.size(), kPasswordLength));
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(Code);
  const auto Low = PackChars(std::string_view(Padded, 4));
  const auto High = PackChars(std::string_view(Padded + 4, 4));
  std::copy(Low.begin(), Low.end(), Frame.begin() + CommandOffset::Params);
  std::copy(High.begin(), High.end(), Frame.begin() + CommandOffset::Params + 3);
  Send(Frame);
  // The password lives on only in the frame kept for resending, until the instrument answers.
  WipeBytes(Padded, sizeof Padded);
  WipeBytes(Frame.data(), Frame.size());
}

void TCustomZOL::Unlock(std::string_view Password) {
  SendPasswordBlock(TCommand::Unlock, Password);
}

void TCustomZOL::ChangePassword(std::string_view NewPassword) {
  SendPasswordBlock(TCommand::ChangePassword, NewPassword);
}

void TCustomZOL::ReadCryptedPassword() {
  SendCommand(CodeOf(TCommand::ReadCryptedPassword));
}

void TCustomZOL::ReadWROP(int Index) {
  if (Index < 0 || Index > 255) {
    throw ERangeError("History record " + std::to_string(Index) +
                      " cannot be asked for: the instrument numbers them 0 to 255");
  }
  StartHistory(Index, Index);
}

void TCustomZOL::ReadHistory() {
  StartHistory(0, kHistoryRecords - 1);
}

bool TCustomZOL::ReadingHistoryNow() const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  return History.Active;
}

void TCustomZOL::StartHistory(int First, int Last) {
  InterruptChains(true);
  bool Separating = false;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    History = THistoryRead{};
    History.Active = true;
    History.Next = First;
    History.Last = Last;
    // While the instrument answers history requests, its repeats of an earlier record could be
    // taken for the first one: a state request goes between.
    const std::uint8_t Code = CodeOf(TCommand::ReadWROP);
    Separating = Model.LastCommand == Code || LastAnswerCode == Code;
    History.Separating = Separating;
    History.Distinct = !Separating;
  }
  ChainStart Starting;
  if (Separating) {
    SendCommand(CodeOf(TCommand::ReadState));
  } else {
    SendHistoryRequest(First);
  }
}

void TCustomZOL::SendHistoryRequest(int Index) {
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(TCommand::ReadWROP);
  Frame[CommandOffset::Params] = static_cast<std::uint8_t>(Index);
  Send(Frame);
}

void TCustomZOL::FailHistory(int Index, const char *Why) {
  char Message[200];
  std::snprintf(Message, sizeof Message, "History record %d did not come: %s", Index, Why);
  ReportChainError(Message);
}

void TCustomZOL::CountHistoryReport() {
  int Overdue = -1;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    if (!History.Active) {
      return;
    }
    if (++History.Reports > kHistoryReportBudget) {
      History.Active = false;
      Overdue = History.Next;
    }
  }
  if (Overdue >= 0) {
    FailHistory(Overdue, "the instrument did not answer its request. Read the history again.");
  }
}

void TCustomZOL::HistoryAnswer(std::uint8_t Code, const std::uint8_t *Payload, bool Current) {
  // Asked before the model lock: the framing lock is never taken under it.
  const bool Out = Device->LastFrameOut();
  const TZOLComDevice::TFrameState Frames = Device->FrameState();
  const auto Waited = static_cast<std::uint8_t>(Frames.RxCounter - Frames.SentCounter);
  enum class TStep { None, Request, Separate, Fail } Step = TStep::None;
  bool Pass = false;
  int Index = 0;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    if (!History.Active || !Out) {
      return; // not reading, or this answer was read before the last request went out
    }
    if (Code == CodeOf(TCommand::ReadState)) {
      if (!History.Separating || !Current) {
        return;
      }
      // The instrument has acted on the state request: the next record it sends is the one
      // asked for now.
      History.Separating = false;
      History.Distinct = true;
      Step = TStep::Request;
      Index = History.Next;
    } else if (History.Separating) {
      return; // a repeat of an earlier record while the state request is on its way
    } else if (History.Distinct || !History.AnyPassed ||
               !std::equal(History.Passed.begin(), History.Passed.end(), Payload)) {
      Pass = true;
      std::copy(Payload, Payload + History.Passed.size(), History.Passed.begin());
      History.AnyPassed = true;
      History.Tries = 0;
      History.Reports = 0;
      ++History.Next;
      Index = History.Next;
      if (History.Next > History.Last) {
        History.Active = false;
      } else if (WROPSlot(Payload[0]) < 0) {
        // A record without a slot: the next may hold the same bytes, so a state request goes
        // between to tell its answer from this one's repeats.
        History.Separating = true;
        History.Distinct = false;
        Step = TStep::Separate;
      } else {
        History.Distinct = false;
        Step = TStep::Request;
      }
    } else if (Waited > kAnswerReports) {
      // Still the previous record, well after the request: the request was lost, the
      // instrument is slow, or it holds the same bytes twice. The request goes out again as it
      // was (a slow instrument's answer is not put off by it); the time after, behind a state
      // request, which tells a record that looks like the previous one from its repeats.
      if (++History.Tries > kHistoryTries) {
        History.Active = false;
        Step = TStep::Fail;
        Index = History.Next;
      } else if (History.Tries % 2 == 1) {
        Step = TStep::Request;
        Index = History.Next;
      } else {
        History.Separating = true;
        Step = TStep::Separate;
      }
    }
  }
  // The next request goes out before the record is passed on: its exchange runs while the
  // handler does its work.
  switch (Step) {
  case TStep::Request:
    SendHistoryRequest(Index);
    break;
  case TStep::Separate:
    SendCommand(CodeOf(TCommand::ReadState));
    break;
  case TStep::Fail:
    FailHistory(Index, "the instrument did not answer its request. Read the history again.");
    break;
  case TStep::None:
    break;
  }
  if (Pass && OnUpdateWROP) {
    // A copy decoded from the payload: aligned, and the same on any byte order.
    const TWROP Record = WROPFromBytes(Payload);
    HandlerScope Handler;
    OnUpdateWROP(&Record);
  }
}

// ---- Parameter files ----------------------------------------------------------------------------

TParamFileResult TCustomZOL::LoadParameters(const std::string &Path) {
  TZOLSettings Loaded;
  TParamFileResult Result = ReadParameterFile(Path, Loaded);
  if (Result.Ok) {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.Settings = Loaded;
  }
  return Result;
}

TParamFileResult TCustomZOL::SaveParameters(const std::string &Path) {
  TZOLSettings Settings;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Settings = Model.Settings;
  }
  return WriteParameterFile(Path, Settings);
}

// ---- The decoder
// ----------------------------------------------------------------------------------

void TCustomZOL::Raise(const TNotifyEvent &Event) {
  if (Event) {
    HandlerScope Handler;
    Event(this);
  }
}

void TCustomZOL::ReportChainError(const char *Message) {
  if (!OnChainError) {
    return;
  }
  HandlerScope Handler;
  try {
    OnChainError(this, Message);
  } catch (...) {
    // The worker must go on whatever a handler of the report does.
  }
}

bool TCustomZOL::ReadingAllNow() const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  return Model.ReadingAll;
}

bool TCustomZOL::WritingAllNow() const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  return Model.WritingAll;
}

void TCustomZOL::ProcessFrame(TObject *) {
  try {
    Decode();
  } catch (const std::exception &Error) {
    // Nothing outside the rows throws today; whatever does must not end the worker.
    ReportChainError(Error.what());
  }
}

void TCustomZOL::Decode() {
  std::uint8_t Answer[kAnswerLength]{};
  Device->ReadFrame(Answer, kAnswerLength);
  Device->SetRxCounter(Answer[AnswerOffset::Counter]);
  Device->ResendLastFrame(Answer[AnswerOffset::Code]);
  CountHistoryReport();
  if (!FrameChecksumValid(Answer, kAnswerLength)) {
    return;
  }
  Device->ForgetAnsweredSecret(Answer[AnswerOffset::Code]);

  const std::uint8_t Code = Answer[AnswerOffset::Code];
  const std::uint8_t *Payload = Answer + AnswerOffset::Payload;
  bool WriteLocked = false;
  bool Stopped = false;
  bool Current = false;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    const std::uint8_t Status = Answer[AnswerOffset::Status];
    Model.Measure = (Status & StatusBit::SensorFailure)
                        ? kSensorFailureMeasure
                        : static_cast<float>(GetInt16LE(Answer + AnswerOffset::Measure) / 10.0);
    Model.WriteLocked = (Status & StatusBit::WriteLocked) != 0;
    Model.UseDisplay = (Status & StatusBit::UseDisplay) != 0;
    Model.UseE2PROM = (Status & StatusBit::UseE2PROM) != 0;
    Model.Relay1 = (Status & StatusBit::Relay1) != 0;
    Model.Led1 = (Status & StatusBit::Led1) != 0;
    Model.Relay2 = (Status & StatusBit::Relay2) != 0;
    Model.Led2 = (Status & StatusBit::Led2) != 0;
    WriteLocked = Model.WriteLocked;
    // The instrument repeats its last answer until a new command reaches it: an answer whose
    // code is not the last command sent is a repeat of an earlier exchange.
    Current = Code == Model.LastCommand;
    LastAnswerCode = Code;
    Stopped = StoppedAnswer == Code;
    if (!Stopped) {
      StoppedAnswer = -1; // the instrument has moved on to another answer
    }

    switch (static_cast<TCommand>(Code)) {
    case TCommand::ReadState:
      Model.RawValue = GetInt16BE(Payload);
      Model.Rt = BytesToSingle(Payload + 2);
      break;
    case TCommand::ReadInfo: {
      static constexpr char Hex[] = "0123456789ABCDEF";
      char Text[2 * AnswerOffset::PayloadLength];
      for (int i = 0; i < AnswerOffset::PayloadLength; ++i) {
        Text[2 * i] = Hex[Payload[i] >> 4];
        Text[2 * i + 1] = Hex[Payload[i] & 0x0F];
      }
      Model.InfoText.assign(Text, sizeof Text);
      break;
    }
    case TCommand::Ping:
      if (!std::equal(kPingPattern.begin(), kPingPattern.end(), Payload)) {
        Model.PingError = true;
      }
      break;
    case TCommand::ReadFilter:
      Model.Settings.Filter = BytesToSingle(Payload);
      break;
    case TCommand::ReadAlarm1:
      Model.Settings.Alarm1 = AlarmFromBlock(Payload, Model.Settings.Alarm1);
      break;
    case TCommand::ReadAlarm2:
      Model.Settings.Alarm2 = AlarmFromBlock(Payload, Model.Settings.Alarm2);
      break;
    case TCommand::ReadTag:
      Model.TagPart1 = UnpackChars(Payload) + UnpackChars(Payload + 3);
      break;
    case TCommand::ReadTag2:
      Model.TagPart2 = UnpackChars(Payload) + UnpackChars(Payload + 3);
      Model.Settings.Tag.Set(Model.TagPart1 + Model.TagPart2);
      break;
    case TCommand::ReadCryptedPassword:
      std::copy(Payload, Payload + AnswerOffset::PayloadLength, Model.CryptedPassword.begin());
      break;
    default:
      break;
    }
  }

  if (Stopped) {
    return;
  }
  struct HandlingScope {
    explicit HandlingScope(int Code) { AnswerBeingHandled = Code; }
    ~HandlingScope() { AnswerBeingHandled = -1; }
  } Handling(Code);
  try {
    Dispatch(Code, Payload, WriteLocked, Current);
  } catch (const std::exception &Error) {
    // A range error inside a chain (an alarm loaded from a file that no frame can carry) stops
    // that chain; the worker goes on reading and writing reports.
    {
      std::lock_guard<std::mutex> Lock(ModelMutex);
      StoppedAnswer = Code;
      ChainStopped = true;
    }
    ReportChainError(Error.what());
  }
}

void TCustomZOL::Dispatch(std::uint8_t Code, const std::uint8_t *Payload, bool WriteLocked,
                          bool Current) {
  // Events and replies in the order of each row, with no lock held: handlers take snapshots
  // and may call operations. ReadingAll and WritingAll are looked at when the row needs them.
  // The steps of a read-all or write-all chain are taken only on a current answer: a repeat of
  // the previous chain's last answer must neither end a new chain nor skip its writes.
  const bool WritingAllStep = Current && WritingAllNow();
  const bool ReadingAllStep = Current && ReadingAllNow();
  switch (static_cast<TCommand>(Code)) {
  case TCommand::ReadState:
    HistoryAnswer(Code, Payload, Current);
    Raise(OnUpdateState);
    break;
  case TCommand::ReadInfo:
    Raise(OnUpdateInfo);
    SendCommand(CodeOf(TCommand::ReadState));
    break;
  case TCommand::ReadWROP:
    HistoryAnswer(Code, Payload, Current);
    break;
  case TCommand::SendFilter:
    if (WritingAllStep) {
      Raise(OnUpdateFilter);
      SendAlarm1();
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadFilter));
    }
    break;
  case TCommand::SendAlarm1:
    if (WritingAllStep) {
      SendAlarm2();
      Raise(OnUpdateAlarm1);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadAlarm1));
    }
    break;
  case TCommand::SendAlarm2:
    if (WritingAllStep) {
      // The chain is over before its handlers run: one of them may start the next at once.
      {
        std::lock_guard<std::mutex> Lock(ModelMutex);
        Model.WritingAll = false;
      }
      Raise(OnUpdateAlarm2);
      Raise(OnWriteAll);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadAlarm2));
    }
    break;
  case TCommand::SendTag1:
    SendTag2();
    break;
  case TCommand::SendTag2:
    if (WritingAllStep) {
      SendFilter();
      Raise(OnUpdateTag);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadTag));
    }
    break;
  case TCommand::Unlock:
    SendCommand(CodeOf(TCommand::ReadState));
    if (!WriteLocked) {
      Raise(OnUnlockDevice);
    }
    break;
  case TCommand::ChangePassword:
  case TCommand::AdjustZero:
  case TCommand::AdjustFullScale:
    SendCommand(CodeOf(TCommand::ReadState));
    break;
  case TCommand::SetClock:
    SendCommand(CodeOf(TCommand::ReadTag));
    break;
  case TCommand::Ping:
    Raise(OnUpdateState);
    break;
  case TCommand::ReadFilter:
    Raise(OnUpdateFilter);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadAlarm1 : TCommand::ReadState));
    break;
  case TCommand::ReadAlarm1:
    Raise(OnUpdateAlarm1);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadAlarm2 : TCommand::ReadState));
    break;
  case TCommand::ReadAlarm2:
    if (ReadingAllStep) {
      // The chain is over before its handlers run: one of them may start the next at once.
      {
        std::lock_guard<std::mutex> Lock(ModelMutex);
        Model.ReadingAll = false;
      }
      Raise(OnUpdateAlarm2);
      Raise(OnReadAll);
    } else {
      Raise(OnUpdateAlarm2);
    }
    SendCommand(CodeOf(TCommand::ReadState));
    break;
  case TCommand::ReadTag:
    SendCommand(CodeOf(TCommand::ReadTag2));
    break;
  case TCommand::ReadTag2:
    Raise(OnUpdateTag);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadFilter : TCommand::ReadState));
    break;
  case TCommand::ReadCryptedPassword:
    Raise(OnGetCryptedPassword);
    SendCommand(CodeOf(TCommand::ReadState));
    break;
  case TCommand::Error:
    Raise(OnError);
    break;
  default:
    // No handling: the status and the measurement have been taken.
    break;
  }
}

} // namespace zol
