#include "windows/TZOL.h"
#include "windows/Journal.h"
#include "windows/Language.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

namespace zol {

const QString TZOL::kLoadTitle = QStringLiteral("Charge un fichier paramètres");
const QString TZOL::kSaveTitle = QStringLiteral("sauve un fichier paramètres");
const QStringList TZOL::kFileFilters = {QStringLiteral("Fichiers paramètres (*.ZOL)"),
                                        QStringLiteral("Tous les fichiers (*.*)")};

namespace {

/// The tag as a file name: trailing blanks dropped (the instrument pads its tags with them) and
/// the path separators a tag may hold replaced, so that the name proposed stays in the folder.
QString ProposedName(const std::string &Tag) {
  QString Name = QString::fromLatin1(Tag.data(), static_cast<qsizetype>(Tag.size()));
  while (!Name.isEmpty() && Name.back().isSpace())
    Name.chop(1);
  Name.replace(QLatin1Char('/'), QLatin1Char('_'));
  Name.replace(QLatin1Char('\\'), QLatin1Char('_'));
  return Name;
}

/// Shows why a parameter file was not loaded or written.
void ShowFileFailure(QWidget *Parent, const TParamFileResult &Result) {
  if (Result.Refused)
    QMessageBox::information(Parent, QString(), QString::fromLatin1(kFichierIncorrect));
  else
    QMessageBox::critical(Parent, QString(), Worded(Result.Error));
}

} // namespace

TZOL::TZOL(HidPlatform &Platform, QObject *Parent) : QObject(Parent), TCustomZOL(Platform) {
  PaceTimer.setSingleShot(true);
  PaceTimer.setInterval(kStatePaceMs);
  connect(&PaceTimer, &QTimer::timeout, this, [this] { Deliver(true); });
  OnConnect = Forward(&TZOL::Connected);
  OnDisconnect = Forward(&TZOL::Disconnected);
  OnUpdateState = [this](TObject *) { StateRaised(); };
  OnError = Forward(&TZOL::ErrorAnswered);
  OnUnlockDevice = Forward(&TZOL::DeviceUnlocked);
  OnUpdateAlarm1 = Forward(&TZOL::Alarm1Updated);
  OnUpdateAlarm2 = Forward(&TZOL::Alarm2Updated);
  OnUpdateFilter = Forward(&TZOL::FilterUpdated);
  OnUpdateTag = Forward(&TZOL::TagUpdated);
  OnUpdateInfo = Forward(&TZOL::InfoUpdated);
  OnReadAll = Forward(&TZOL::AllRead);
  OnWriteAll = Forward(&TZOL::AllWritten);
  OnGetCryptedPassword = Forward(&TZOL::CryptedPasswordReceived);
  OnUpdateWROP = [this](TPtrWROP PtrWROP) {
    // The pointer lives only during this call: the record travels as a copy.
    TPosted Item;
    Item.Record = *PtrWROP;
    Post(std::move(Item));
  };
  OnChainError = [this](TObject *, const TError &Error) {
    TPosted Item;
    Item.Message = Worded(Error);
    Post(std::move(Item));
  };
  Journal = new TJournalKeeper(*this, this);
}

TZOL::~TZOL() {
  // The worker calls the handlers above, which post to this object: stop it first.
  Close();
}

TNotifyEvent TZOL::Forward(void (TZOL::*Signal)(const TZOLModel &)) {
  return [this, Signal](TObject *) {
    TPosted Item;
    Item.Signal = Signal;
    // Taken here, on the worker, so that the window sees the model as it was at this event.
    Item.Snapshot = this->Snapshot();
    Item.HasSnapshot = true;
    Post(std::move(Item));
  };
}

void TZOL::StateRaised() {
  std::lock_guard Lock(PostMutex);
  StateNews = true;
  if (!DeliveryPosted && !Following)
    PostDelivery();
}

void TZOL::Post(TPosted &&Item) {
  std::lock_guard Lock(PostMutex);
  if (StateNews) {
    // The state raised before this event is shown before it: the event's own snapshot holds it.
    if (!Item.HasSnapshot) {
      Item.Snapshot = Snapshot();
      Item.HasSnapshot = true;
    }
    Item.StateFirst = true;
    StateNews = false;
  }
  Waiting.push_back(std::move(Item));
  if (!DeliveryPosted)
    PostDelivery();
}

void TZOL::PostDelivery() {
  DeliveryPosted = true;
  // Queued calls to one receiver run in the order posted; the worker never waits for them.
  QMetaObject::invokeMethod(
      this,
      [this] {
        {
          std::lock_guard Lock(PostMutex);
          DeliveryPosted = false;
        }
        Deliver(false);
      },
      Qt::QueuedConnection);
}

void TZOL::Deliver(bool FromTimer) {
  for (;;) {
    TPosted Item;
    bool Taken = false;
    bool Follow = false;
    bool State = false;
    {
      std::lock_guard Lock(PostMutex);
      if (!Waiting.empty()) {
        Item = std::move(Waiting.front());
        Waiting.pop_front();
        Taken = true;
      } else {
        if (StateNews) {
          // Taken under the lock: no event is raised between this state and the next event.
          // Into the kept copy, in place; a handler that ran the event loop meanwhile (a
          // dialog) still reads the copy it was given, so a nested delivery takes its own.
          if (Delivering == 0)
            SnapshotInto(Latest);
          else
            Nested = Snapshot();
          State = true;
          StateNews = false;
          Following = true;
          IdleTicks = 0;
        } else if (FromTimer && ++IdleTicks >= kIdleTicks) {
          Following = false; // the answers have stopped: the next one posts again
        }
        Follow = Following;
      }
    }
    if (Taken) {
      Emit(Item);
      continue;
    }
    // While the windows follow the stream, the pace timer brings the next state and the worker
    // posts nothing.
    if (Follow && (State || FromTimer))
      PaceTimer.start();
    if (State) {
      if (Delivering == 0) {
        ++Delivering;
        emit StateUpdated(Latest);
        --Delivering;
      } else {
        const TZOLModel Copy = std::move(Nested);
        emit StateUpdated(Copy);
      }
    }
    return;
  }
}

void TZOL::Emit(const TPosted &Item) {
  if (Item.StateFirst)
    emit StateUpdated(Item.Snapshot);
  if (Item.Signal != nullptr)
    emit(this->*Item.Signal)(Item.Snapshot);
  else if (Item.Record)
    emit WROPUpdated(*Item.Record);
  else
    emit ChainFailed(Item.Message);
}

bool TZOL::LoadParametersDialog(QWidget *Parent) {
  QFileDialog Dialog(Parent, kLoadTitle, QStringLiteral("."));
  Dialog.setAcceptMode(QFileDialog::AcceptOpen);
  Dialog.setFileMode(QFileDialog::ExistingFile);
  Dialog.setNameFilters(kFileFilters);
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
    return false;
  const std::string Path = QDir::toNativeSeparators(Dialog.selectedFiles().first()).toStdString();
  const TParamFileResult Result = LoadParameters(Path);
  if (!Result.Ok)
    ShowFileFailure(Parent, Result);
  else
    LoadedFile = Path;
  return Result.Ok;
}

bool TZOL::SaveParametersDialog(QWidget *Parent) {
  QFileDialog Dialog(Parent, kSaveTitle, QStringLiteral("."));
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setFileMode(QFileDialog::AnyFile);
  Dialog.setNameFilters(kFileFilters);
  Dialog.setDefaultSuffix(QStringLiteral("ZOL"));
  // The overwrite question is the dialog's own (QFileDialog asks unless told not to).
  Dialog.selectFile(ProposedName(Snapshot().Settings.Tag.Get()));
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
    return false;
  const TParamFileResult Result =
      SaveParameters(QDir::toNativeSeparators(Dialog.selectedFiles().first()).toStdString());
  if (!Result.Ok)
    ShowFileFailure(Parent, Result);
  return Result.Ok;
}

} // namespace zol
