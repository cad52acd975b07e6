#include "protocol/ZOL.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

namespace zol {

namespace {

std::string CutShortText(std::string Text) {
  if (Text.size() > kMaxShortText) {
    Text.resize(kMaxShortText);
  }
  return Text;
}

} // namespace

// ---- The device component: creation and connection --------------------------------------------

TCustomZOL::TCustomZOL(HidPlatform &Platform) : Device(std::make_unique<TZOLComDevice>(Platform)) {
  Device->Vid = kRW8VendorId;
  Device->Pid = kRW8ProductId;
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

void TCustomZOL::SnapshotInto(TZOLModel &Into) const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  if (Into.IdentityGeneration != Model.IdentityGeneration)
    static_cast<TZOLIdentity &>(Into) = Model;
  static_cast<TZOLState &>(Into) = Model;
}

void TCustomZOL::DeviceConnected(TObject *) {
  Device->ForgetRxCounter();
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
      ++Model.IdentityGeneration;
    }
    Raise(OnConnect);
    SetClock();
  } catch (const std::exception &Error) {
    // A clock before 2000 (or past 2179) stops the connection chain, not the worker.
    ReportCaught(Error);
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
    FailHistory(Missing, TErrorCode::HistoryGone);
  }
  try {
    Raise(OnDisconnect);
  } catch (const std::exception &Error) {
    ReportCaught(Error);
  }
}

// ---- Commands -----------------------------------------------------------------------------------

void TCustomZOL::InterruptChains(bool RestartingHistory) {
  bool Reading = false, Writing = false, Reported = false, HistoryRead = false;
  int HistoryIndex = 0;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Reading = Model.ReadingAll;
    Writing = Model.WritingAll;
    Reported = ChainStopped;
    HistoryRead = History.Active && !RestartingHistory;
    HistoryIndex = History.Next;
    Model.ReadingAll = false;
    Model.WritingAll = false;
    History.Active = false;
    ChainStopped = false;
  }
  if (HistoryRead) {
    ReportChainError(TErrorCode::HistoryInterrupted, HistoryIndex);
  }
  // Another command replaces the chain's at the instrument: its answers will not come, and a
  // flag left set would turn a later single write into the rest of the old chain.
  if (Reported) {
    return;
  }
  if (Writing) {
    ReportChainError(TErrorCode::WriteAllInterrupted);
  } else if (Reading) {
    ReportChainError(TErrorCode::ReadAllInterrupted);
  }
}

void TCustomZOL::Send(const TFrame &Frame, TSendAs As) {
  switch (As.Kind) {
  case TSendAs::TKind::Command:
    InterruptChains();
    Device->WriteFrame(Frame.data(), kCommandLength);
    break;
  case TSendAs::TKind::ChainStart:
    Device->WriteFrame(Frame.data(), kCommandLength);
    break;
  case TSendAs::TKind::Reply:
    Device->WriteReply(Frame.data(), kCommandLength, As.Answered);
    break;
  }
}

void TCustomZOL::SendCommand(std::uint8_t Code) {
  SendCommand(Code, TSendAs::Command());
}

void TCustomZOL::SendCommand(std::uint8_t Code, TSendAs As) {
  Send(EncodeCommand(Code), As);
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
  SendCommand(CodeOf(TCommand::ReadTag), TSendAs::ChainStart());
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
  SendTag1(TSendAs::ChainStart());
}

void TCustomZOL::SendTagHalf(TCommand Code, TSendAs As) {
  std::string Tag;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Tag = Model.Outgoing.Tag.Get();
  }
  Send(EncodeTagHalf(Code, Tag), As);
}

void TCustomZOL::SendTag1() {
  SendTag1(TSendAs::Command());
}
void TCustomZOL::SendTag1(TSendAs As) {
  SendTagHalf(TCommand::SendTag1, As);
}
void TCustomZOL::SendTag2() {
  SendTag2(TSendAs::Command());
}
void TCustomZOL::SendTag2(TSendAs As) {
  SendTagHalf(TCommand::SendTag2, As);
}

void TCustomZOL::SendFilter() {
  SendFilter(TSendAs::Command());
}

void TCustomZOL::SendFilter(TSendAs As) {
  float Filter = 0.0f;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Filter = Model.Outgoing.Filter;
  }
  Send(EncodeFilter(Filter), As);
}

void TCustomZOL::SendAlarm(TCommand Code, const TZOLAlarm TZOLSettings::*Which, TSendAs As) {
  TZOLAlarm Alarm;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Alarm = Model.Outgoing.*Which;
  }
  // The whole frame is encoded before anything is sent: a range error sends nothing.
  Send(EncodeAlarm(Code, Alarm), As);
}

void TCustomZOL::SendAlarm1() {
  SendAlarm1(TSendAs::Command());
}
void TCustomZOL::SendAlarm1(TSendAs As) {
  SendAlarm(TCommand::SendAlarm1, &TZOLSettings::Alarm1, As);
}
void TCustomZOL::SendAlarm2() {
  SendAlarm2(TSendAs::Command());
}
void TCustomZOL::SendAlarm2(TSendAs As) {
  SendAlarm(TCommand::SendAlarm2, &TZOLSettings::Alarm2, As);
}

void TCustomZOL::SetClock() {
  Send(EncodeClock(Clock ? Clock() : LocalNow()), TSendAs::Command());
}

void TCustomZOL::Ping() {
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Model.PingError = false;
  }
  Send(EncodePing(), TSendAs::Command());
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
  TFrame Frame = EncodePassword(Code, Password);
  Send(Frame, TSendAs::Command());
  // The password lives on only in the frame kept for resending, until the instrument answers.
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
  // The request is encoded before the read starts: an index no frame carries changes nothing.
  EncodeHistoryRequest(Index);
  StartHistory(Index, Index);
}

void TCustomZOL::ReadHistory() {
  StartHistory(0, kHistoryRecords - 1);
}

bool TCustomZOL::ReadingHistoryNow() const {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  return History.Active;
}

// ---- Parameter files ----------------------------------------------------------------------------

TParamFileResult TCustomZOL::LoadParameters(const std::string &Path) {
  TZOLSettings Loaded;
  TParamFileResult Result = ReadParameterFile(Path, Loaded);
  if (Result.Ok)
    UseSettings(Loaded);
  return Result;
}

void TCustomZOL::UseSettings(const TZOLSettings &Settings) {
  std::lock_guard<std::mutex> Lock(ModelMutex);
  Model.Settings = Settings;
}

TParamFileResult TCustomZOL::SaveParameters(const std::string &Path) {
  TZOLSettings Settings;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    Settings = Model.Settings;
  }
  return WriteParameterFile(Path, Settings);
}

} // namespace zol
