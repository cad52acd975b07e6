#include "protocol/ZOL.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

namespace zol {

namespace {

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

/// Times a history record is asked for again before the read gives up on it.
constexpr int kHistoryTries = 8;
/// Reports a history read waits for one record, resends included, before it gives up on it;
/// and the time, in resend times (a lost state request between two records is resent only
/// after one).
constexpr int kHistoryReportBudget = 96;
constexpr int kHistoryResendBudget = 8;
} // namespace

// ---- History read -------------------------------------------------------------------------------

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
    History.AskedAt = Device->Now();
  }
  if (Separating) {
    SendCommand(CodeOf(TCommand::ReadState), TSendAs::ChainStart());
  } else {
    SendHistoryRequest(First, TSendAs::ChainStart());
  }
}

void TCustomZOL::SendHistoryRequest(int Index, TSendAs As) {
  TFrame Frame{};
  Frame[CommandOffset::Code] = CodeOf(TCommand::ReadWROP);
  Frame[CommandOffset::Params] = static_cast<std::uint8_t>(Index);
  Send(Frame, As);
}

void TCustomZOL::FailHistory(int Index, const char *Why) {
  char Message[200];
  std::snprintf(Message, sizeof Message, "History record %d did not come: %s", Index, Why);
  ReportChainError(Message);
}

void TCustomZOL::CountHistoryReport() {
  // Asked before the model lock: the framing lock is never taken under it.
  const auto Budget = ResendAfter(Device->ReportPeriod()) * kHistoryResendBudget;
  const auto At = Device->Now();
  int Overdue = -1;
  {
    std::lock_guard<std::mutex> Lock(ModelMutex);
    if (!History.Active) {
      return;
    }
    if (++History.Reports > kHistoryReportBudget && At - History.AskedAt > Budget) {
      History.Active = false;
      Overdue = History.Next;
    }
  }
  if (Overdue >= 0) {
    FailHistory(Overdue, "the instrument did not answer its request. Read the history again.");
  }
}

void TCustomZOL::HistoryAnswer(std::uint8_t Code, const std::uint8_t *Payload, bool Current,
                               TSendAs Reply) {
  // Asked before the model lock: the framing lock is never taken under it.
  const bool Out = Device->LastFrameOut();
  const auto At = Device->Now();
  const TZOLComDevice::TFrameState Frames = Device->FrameState();
  const auto Waited = static_cast<std::uint8_t>(Frames.RxCounter - Frames.SentCounter);
  enum class TStep { None, Request, Separate, End, Fail } Step = TStep::None;
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
      History.AskedAt = At;
      ++History.Next;
      Index = History.Next;
      if (History.Next > History.Last) {
        // The instrument would repeat the record for ever: a state request brings the
        // measurement back, as at the end of a read-all.
        History.Active = false;
        Step = TStep::End;
      } else if (WROPSlot(Payload[WROPOffset::SlotMask]) < 0) {
        // A record without a slot: the next may hold the same bytes, so a state request goes
        // between to tell its answer from this one's repeats.
        History.Separating = true;
        History.Distinct = false;
        Step = TStep::Separate;
      } else {
        History.Distinct = false;
        Step = TStep::Request;
      }
    } else if (Waited > kResendReports) {
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
    SendHistoryRequest(Index, Reply);
    break;
  case TStep::Separate:
  case TStep::End:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TStep::Fail:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    FailHistory(Index, "the instrument did not answer its request. Read the history again.");
    break;
  case TStep::None:
    break;
  }
  if (Pass && OnUpdateWROP) {
    // A copy decoded from the payload: aligned, and the same on any byte order.
    const TWROP Record = WROPFromBytes(Payload);
    OnUpdateWROP(&Record);
  }
}

// ---- The decoder -------------------------------------------------------------------------------

void TCustomZOL::Raise(const TNotifyEvent &Event) {
  if (Event) {
    Event(this);
  }
}

void TCustomZOL::ReportChainError(const char *Message) {
  if (!OnChainError) {
    return;
  }
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
      Model.RawValue = GetInt16BE(Payload + StatePayload::RawValue);
      Model.Rt = BytesToSingle(Payload + StatePayload::Rt);
      break;
    case TCommand::ReadInfo:
      Model.InfoText = InfoText(Payload);
      break;
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
      Model.TagPart1 = UnpackEight(Payload);
      break;
    case TCommand::ReadTag2:
      Model.TagPart2 = UnpackEight(Payload);
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
  // Every frame a row sends is its reply to this answer; what a handler sends is a command of
  // its own (the public operations), and a reply gives way to it.
  const TSendAs Reply = TSendAs::ReplyTo(Code);
  switch (static_cast<TCommand>(Code)) {
  case TCommand::ReadState:
    HistoryAnswer(Code, Payload, Current, Reply);
    Raise(OnUpdateState);
    break;
  case TCommand::ReadInfo:
    Raise(OnUpdateInfo);
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TCommand::ReadWROP:
    HistoryAnswer(Code, Payload, Current, Reply);
    break;
  case TCommand::SendFilter:
    if (WritingAllStep) {
      Raise(OnUpdateFilter);
      SendAlarm1(Reply);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadFilter), Reply);
    }
    break;
  case TCommand::SendAlarm1:
    if (WritingAllStep) {
      SendAlarm2(Reply);
      Raise(OnUpdateAlarm1);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadAlarm1), Reply);
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
      SendCommand(CodeOf(TCommand::ReadAlarm2), Reply);
    }
    break;
  case TCommand::SendTag1:
    SendTag2(Reply);
    break;
  case TCommand::SendTag2:
    if (WritingAllStep) {
      SendFilter(Reply);
      Raise(OnUpdateTag);
    } else if (!WritingAllNow()) {
      SendCommand(CodeOf(TCommand::ReadTag), Reply);
    }
    break;
  case TCommand::Unlock:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    if (!WriteLocked) {
      Raise(OnUnlockDevice);
    }
    break;
  case TCommand::ChangePassword:
  case TCommand::AdjustZero:
  case TCommand::AdjustFullScale:
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TCommand::SetClock:
    SendCommand(CodeOf(TCommand::ReadTag), Reply);
    break;
  case TCommand::Ping:
    Raise(OnUpdateState);
    break;
  case TCommand::ReadFilter:
    Raise(OnUpdateFilter);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadAlarm1 : TCommand::ReadState), Reply);
    break;
  case TCommand::ReadAlarm1:
    Raise(OnUpdateAlarm1);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadAlarm2 : TCommand::ReadState), Reply);
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
    SendCommand(CodeOf(TCommand::ReadState), Reply);
    break;
  case TCommand::ReadTag:
    SendCommand(CodeOf(TCommand::ReadTag2), Reply);
    break;
  case TCommand::ReadTag2:
    Raise(OnUpdateTag);
    SendCommand(CodeOf(ReadingAllStep ? TCommand::ReadFilter : TCommand::ReadState), Reply);
    break;
  case TCommand::ReadCryptedPassword:
    Raise(OnGetCryptedPassword);
    SendCommand(CodeOf(TCommand::ReadState), Reply);
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
