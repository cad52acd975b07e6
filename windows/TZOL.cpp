#include "windows/TZOL.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QWidget>

namespace zol {

const QString TZOL::LoadTitle = QStringLiteral("Charge un fichier paramètres");
const QString TZOL::SaveTitle = QStringLiteral("sauve un fichier paramètres");
const QStringList TZOL::FileFilters = {QStringLiteral("Fichiers paramètres (*.ZOL)"),
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
    QMessageBox::critical(Parent, QString(), QString::fromStdString(Result.Message));
}

} // namespace

TZOL::TZOL(HidPlatform &Platform, QObject *parent) : QObject(parent), TCustomZOL(Platform) {
  OnConnect = Forward(&TZOL::Connected);
  OnDisconnect = Forward(&TZOL::Disconnected);
  OnUpdateState = Forward(&TZOL::StateUpdated);
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
    const TWROP Record = *PtrWROP;
    QMetaObject::invokeMethod(
        this, [this, Record] { emit WROPUpdated(Record); }, Qt::QueuedConnection);
  };
  OnChainError = [this](TObject *, const std::string &Message) {
    const QString Text = QString::fromStdString(Message);
    QMetaObject::invokeMethod(
        this, [this, Text] { emit ChainFailed(Text); }, Qt::QueuedConnection);
  };
}

TZOL::~TZOL() {
  // The worker calls the handlers above, which post to this object: stop it first.
  Close();
}

TNotifyEvent TZOL::Forward(void (TZOL::*Signal)(const TZOLModel &)) {
  return [this, Signal](TObject *) {
    // Taken here, on the worker, so that the window sees the model as it was at this event.
    TZOLModel Snapshot = this->Snapshot();
    // Queued calls to one receiver run in the order posted; the worker never waits for them.
    QMetaObject::invokeMethod(
        this, [this, Signal, Snapshot = std::move(Snapshot)] { emit(this->*Signal)(Snapshot); },
        Qt::QueuedConnection);
  };
}

bool TZOL::LoadParametersDialog(QWidget *Parent) {
  QFileDialog Dialog(Parent, LoadTitle, QStringLiteral("."));
  Dialog.setAcceptMode(QFileDialog::AcceptOpen);
  Dialog.setFileMode(QFileDialog::ExistingFile);
  Dialog.setNameFilters(FileFilters);
  if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
    return false;
  const TParamFileResult Result =
      LoadParameters(QDir::toNativeSeparators(Dialog.selectedFiles().first()).toStdString());
  if (!Result.Ok)
    ShowFileFailure(Parent, Result);
  return Result.Ok;
}

bool TZOL::SaveParametersDialog(QWidget *Parent) {
  QFileDialog Dialog(Parent, SaveTitle, QStringLiteral("."));
  Dialog.setAcceptMode(QFileDialog::AcceptSave);
  Dialog.setFileMode(QFileDialog::AnyFile);
  Dialog.setNameFilters(FileFilters);
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
