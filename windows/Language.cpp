#include "windows/Language.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenu>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QTranslator>

#include <utility>
#include <vector>

#include "controls/MultiLangue.h"
#include "protocol/ParamFile.h"
#include "protocol/Utils.h"

namespace zol {

namespace {

TUiLanguage LanguageInForce = TUiLanguage::French;

/// The windows' own texts that no bilingual caption carries, French then English.
const char *const kFrenchEnglish[][2] = {
    // Main window, its pages and menus.
    {"Configurateur ZOLCFG RW8", "ZOLCFG RW8 configurator"},
    {"Utilitaire de configuration RW8", "RW8 configuration utility"},
    {"Mesure", "Measure"},
    {"Alarme 1", "Alarm 1"},
    {"Alarme 2", "Alarm 2"},
    {"Dixièmes", "Tenths"},
    {"Envoyer", "Send"},
    {"Relire", "Read back"},
    {"TUSB Programmé", "TUSB programmed"},
    {"TUSB Non programmé", "TUSB not programmed"},
    {"Erreur", "Error"},
    {"Erreur inconnue", "Unknown error"},
    {"Voulez vous vraiment programmer le firmware ?",
     "Do you really want to program the firmware?"},
    {"Voulez vous vraiment effacer le firmware ?", "Do you really want to erase the firmware?"},
    // Password dialog.
    {"Authentification de l'utilsateur", "User authentication"},
    {"Authentification de l'utilisateur", "User authentication"},
    {"Changement du mot de passe", "Password change"},
    {"Perte mot de passe", "Lost password"},
    // History window.
    {"Liste des 8 dernières opérations", "The last 8 operations"},
    {"Ferme", "Close"},
    {"Relire les opérations", "Read again"},
    {"Opération", "Operation"},
    {"Heure", "Time"},
    {"Changement de la valeur du filtre", "Filter value changed"},
    {"Changement des paramètres de l'alarme n°1", "Alarm 1 settings changed"},
    {"Changement des paramètres de l'alarme n°2", "Alarm 2 settings changed"},
    {"Changement du TAG (1)", "Tag changed (1)"},
    {"Changement du TAG", "Tag changed"},
    {"Ajustage de zéro", "Zero adjustment"},
    {"Ajustage de la pleine échelle", "Full-scale adjustment"},
    {"Programmation du firmware USB", "USB firmware programmed"},
    {"Effacement du firmware USB", "USB firmware erased"},
    {"Effacement total de la mémoire du firmware USB", "USB firmware memory fully erased"},
    // Selection, about and error dialogs.
    {"Selection", "Selection"},
    {"A propos ...", "About ..."},
    {"A propos de ...", "About ..."},
    {"Nom du produit", "Product name"},
    {"Programmeur", "Programmer"},
    {"Systeme", "System"},
    {"ZOLCFG - Français", "ZOLCFG - English"},
    {"Par l'équipe ZOLCFG", "By the ZOLCFG team"},
    {"Problème materiel", "Hardware problem"},
    // Parameter files.
    {"Charge un fichier paramètres", "Load a parameter file"},
    {"sauve un fichier paramètres", "save a parameter file"},
    {"Fichiers paramètres (*.ZOL)", "Parameter files (*.ZOL)"},
    {"Tous les fichiers (*.*)", "All files (*.*)"},
    {"  Fichier incorrect !  ", "  Incorrect file!  "},
};

const QHash<QString, QString> &EnglishOfFrench() {
  static const QHash<QString, QString> Table = [] {
    QHash<QString, QString> Result;
    for (const auto &Pair : kFrenchEnglish)
      Result.insert(QString::fromUtf8(Pair[0]), QString::fromUtf8(Pair[1]));
    return Result;
  }();
  return Table;
}

/// A value as the language in force writes it: "4000,0" in French, "4000.0" in English.
QString Tenth(double Value) {
  QString Text = QString::fromStdString(FormatTenth(Value));
  if (!InEnglish())
    Text.replace(QLatin1Char('.'), QLatin1Char(','));
  return Text;
}

QString DeviceDay(int Date) {
  int Day = 0, Month = 0, Year = 0;
  DecodeDeviceDate(static_cast<std::uint16_t>(Date), Day, Month, Year);
  return QStringLiteral("%1/%2/%3").arg(Day).arg(Month).arg(Year);
}

/// "La consigne de l'alarme 1 (4000,0 °C) ne peut pas être envoyée : "; "Alarm 1 set point
/// 4000.0 °C cannot be sent: ".
QString RefusedValue(const TError &Error) {
  const bool Delay = Error.Quantity == TQuantity::Delay;
  const QString Value = Tenth(Error.Value) + (Delay ? QStringLiteral(" s") : QStringLiteral(" °C"));
  const QString Alarm = QString::number(Error.Alarm);
  if (InEnglish()) {
    static const char *const Names[] = {"Value", "set point", "hysteresis", "Delay"};
    static const char *const Bare[] = {"Value", "Set point", "Hysteresis", "Delay"};
    const auto Index = static_cast<std::size_t>(Error.Quantity);
    const QString Name =
        Error.Alarm == 0
            ? QString::fromUtf8(Bare[Index])
            : QStringLiteral("Alarm %1 %2").arg(Alarm, QString::fromUtf8(Names[Index]));
    return QStringLiteral("%1 %2 cannot be sent: ").arg(Name, Value);
  }
  QString Name;
  switch (Error.Quantity) {
  case TQuantity::SetPoint:
    Name = Error.Alarm == 0 ? QStringLiteral("La consigne")
                            : QStringLiteral("La consigne de l'alarme %1").arg(Alarm);
    break;
  case TQuantity::Hysteresis:
    Name = Error.Alarm == 0 ? QStringLiteral("L'hystérésis")
                            : QStringLiteral("L'hystérésis de l'alarme %1").arg(Alarm);
    break;
  case TQuantity::Delay:
    Name = Error.Alarm == 0 ? QStringLiteral("La temporisation")
                            : QStringLiteral("La temporisation de l'alarme %1").arg(Alarm);
    break;
  case TQuantity::Value:
    return QStringLiteral("La valeur %1 ne peut pas être envoyée : ").arg(Value);
  }
  return QStringLiteral("%1 (%2) ne peut pas être envoyée : ").arg(Name, Value);
}

QString MissingRecord(const TError &Error, const char *French, const char *English) {
  return Tr("L'opération %1 de l'historique n'est pas venue : ", "History record %1 did not come: ")
             .arg(Error.Number) +
         Tr(French, English);
}

} // namespace

QString Worded(const TSystemError &Error) {
  switch (Error.Reason) {
  case TSystemReason::NotFound:
    return Tr("fichier ou dossier introuvable", "No such file or directory");
  case TSystemReason::PermissionDenied:
    return Tr("permission refusée", "Permission denied");
  case TSystemReason::IsADirectory:
    return Tr("c'est un dossier", "Is a directory");
  case TSystemReason::NotADirectory:
    return Tr("un élément du chemin n'est pas un dossier", "Not a directory");
  case TSystemReason::NoSpace:
    return Tr("plus de place sur le disque", "No space left on device");
  case TSystemReason::QuotaExceeded:
    return Tr("quota de disque dépassé", "Disk quota exceeded");
  case TSystemReason::ReadOnlyFileSystem:
    return Tr("système de fichiers en lecture seule", "Read-only file system");
  case TSystemReason::InputOutput:
    return Tr("erreur d'entrée-sortie", "Input/output error");
  case TSystemReason::NameTooLong:
    return Tr("nom de fichier trop long", "File name too long");
  case TSystemReason::CharacterDevice:
    return Tr("ce n'est pas un fichier ordinaire : un périphérique caractère",
              "not a regular file: a character device");
  case TSystemReason::BlockDevice:
    return Tr("ce n'est pas un fichier ordinaire : un périphérique bloc",
              "not a regular file: a block device");
  case TSystemReason::Fifo:
    return Tr("ce n'est pas un fichier ordinaire : un tube", "not a regular file: a FIFO");
  case TSystemReason::Socket:
    return Tr("ce n'est pas un fichier ordinaire : une socket", "not a regular file: a socket");
  case TSystemReason::NotAFile:
    return Tr("ce n'est pas un fichier ordinaire", "not a regular file");
  case TSystemReason::HardLinks:
    return Tr("le fichier a %1 noms (liens physiques) ; un nouveau fichier laisserait les autres "
              "derrière lui",
              "the file has %1 names (hard links); a new file would leave the others behind")
        .arg(Error.Count);
  case TSystemReason::ReadOnlyFile:
    if (Error.Count == 0)
      return Tr("le fichier est en lecture seule : il est laissé tel quel",
                "the file is read-only: it is left as it was");
    return Tr("le fichier est en lecture seule (permissions %1) : il est laissé tel quel",
              "the file is read-only (permissions %1): it is left as it was")
        .arg(Error.Count & 07777u, 4, 8, QLatin1Char('0'));
  case TSystemReason::ForeignLink:
    return Tr("un lien symbolique d'un autre utilisateur dans un dossier ouvert à tous ; le "
              "système ne le suivrait pas non plus",
              "a symbolic link of another user in a folder open to all; the system would not "
              "follow it either");
  case TSystemReason::Other:
    break;
  }
  return Error.Text.empty() ? Tr("le système n'a pas donné de raison", "the system gave no reason")
                            : QString::fromStdString(Error.Text);
}

QString Worded(const TError &Error) {
  const QString Path = QString::fromStdString(Error.Text);
  switch (Error.Code) {
  case TErrorCode::NotANumber:
    return RefusedValue(Error) + Tr("ce n'est pas un nombre", "it is not a number");
  case TErrorCode::OutOfRange:
    return RefusedValue(Error) +
           Tr("l'instrument accepte de %1 à %2 °C", "the instrument takes %1 to %2 °C")
               .arg(Tenth(kLowestTenths / 10.0), Tenth(kHighestTenths / 10.0));
  case TErrorCode::ClockNotADate:
    return Tr("L'horloge (%1) ne peut pas être envoyée : ce n'est pas une date et une heure "
              "valides",
              "Clock %1 cannot be sent: it is not a valid date and time")
        .arg(Path);
  case TErrorCode::ClockOutOfRange:
    return Tr("L'horloge (%1) ne peut pas être envoyée : l'instrument compte les jours du %2 au %3",
              "Clock %1 cannot be sent: the instrument counts days from %2 to %3")
        .arg(Path, DeviceDay(0), DeviceDay(static_cast<int>(kDeviceDays - 1)));
  case TErrorCode::HistoryIndexOutOfRange:
    return Tr("L'opération %1 de l'historique ne peut pas être demandée : l'instrument les "
              "numérote de 0 à %2",
              "History record %1 cannot be asked for: the instrument numbers them 0 to %2")
        .arg(Error.Number)
        .arg(kLastHistoryIndex);
  case TErrorCode::HistoryInterrupted:
    return Tr("La lecture de l'historique a été interrompue par une autre commande avant "
              "l'opération %1. Relisez-le.",
              "Reading the history was interrupted by another command before record %1 came. "
              "Read it again.")
        .arg(Error.Number);
  case TErrorCode::HistoryGone:
    return MissingRecord(Error, "l'instrument est parti. Relisez l'historique.",
                         "the instrument went away. Read the history again.");
  case TErrorCode::HistoryNoAnswer:
    return MissingRecord(Error, "l'instrument n'a pas répondu à sa demande. Relisez l'historique.",
                         "the instrument did not answer its request. Read the history again.");
  case TErrorCode::WriteAllInterrupted:
    return Tr("L'envoi de tous les paramètres a été interrompu par une autre commande : ils ne "
              "sont pas tous parvenus à l'instrument. Envoyez-les à nouveau.",
              "Sending all settings was interrupted by another command: not every setting "
              "reached the instrument. Send them again.");
  case TErrorCode::ReadAllInterrupted:
    return Tr("La lecture de tous les paramètres a été interrompue par une autre commande. "
              "Relisez-les.",
              "Reading all settings was interrupted by another command. Read them again.");
  case TErrorCode::CannotRead:
    return Tr("Impossible de lire %1 : %2", "Cannot read %1: %2").arg(Path, Worded(Error.System));
  case TErrorCode::CannotWrite:
    return Tr("Impossible d'écrire %1 : %2", "Cannot write %1: %2").arg(Path, Worded(Error.System));
  case TErrorCode::WrongFileStart:
    return Tr("%1 n'est pas un fichier de paramètres : il ne commence pas par \"%2\"",
              "%1 is not a parameter file: it does not start with \"%2\"")
        .arg(Path, QString::fromLatin1(kParamFileId));
  case TErrorCode::FileTooShort:
    return Tr("%1 n'est pas un fichier de paramètres : il fait moins de %2 octets",
              "%1 is not a parameter file: it is shorter than %2 bytes")
        .arg(Path)
        .arg(kParamFileLength);
  case TErrorCode::Unexpected:
    break;
  }
  return Tr("Erreur inattendue : %1", "Unexpected error: %1").arg(Path);
}

namespace {

/// Puts the windows in the language in force as they are shown, and again right after their own
/// show handlers ran (some set their captions there).
class TLanguageFilter final : public QObject {
public:
  using QObject::QObject;
  bool eventFilter(QObject *Watched, QEvent *Event) override {
    if (Event->type() == QEvent::Show) {
      auto *Widget = qobject_cast<QWidget *>(Watched);
      if (Widget != nullptr && Widget->isWindow()) {
        LocalizeWidgets(Widget);
        QTimer::singleShot(0, Widget, [Widget] { LocalizeWidgets(Widget); });
      }
    }
    return QObject::eventFilter(Watched, Event);
  }
};

void LocalizeTable(QTableWidget *Table) {
  for (int Row = 0; Row < Table->rowCount(); ++Row)
    for (int Column = 0; Column < Table->columnCount(); ++Column)
      if (QTableWidgetItem *Item = Table->item(Row, Column)) {
        const QString Text = Localized(Item->text());
        if (Text != Item->text())
          Item->setText(Text);
      }
}

} // namespace

TUiLanguage LanguageOfUiLanguages(const QStringList &UiLanguages) {
  if (UiLanguages.isEmpty())
    return TUiLanguage::French;
  const QString First = UiLanguages.first().toLower();
  const bool English = First == QStringLiteral("en") || First.startsWith(QStringLiteral("en-")) ||
                       First.startsWith(QStringLiteral("en_"));
  return English ? TUiLanguage::English : TUiLanguage::French;
}

TUiLanguage UiLanguage() {
  return LanguageInForce;
}

void SetUiLanguage(TUiLanguage Language) {
  LanguageInForce = Language;
  TMultiLangue::SetLangueEnVigueur(Language == TUiLanguage::English ? TLangue::Anglais
                                                                    : TLangue::Francais);
}

QString Tr(const char *French, const char *English) {
  return QString::fromUtf8(InEnglish() ? English : French);
}

QString Localized(const QString &Text) {
  if (Text.isEmpty())
    return Text;
  if (!InEnglish())
    return Text;
  const auto Found = EnglishOfFrench().constFind(Text);
  if (Found != EnglishOfFrench().constEnd())
    return *Found;
  // Texts that begin with a French caption and go on with a value.
  static const std::pair<const char *, const char *> Prefixes[] = {
      {"Version n° : ", "Version no.: "},
      {"Version : ", "Version: "},
  };
  for (const auto &[French, English] : Prefixes) {
    const QString Prefix = QString::fromUtf8(French);
    if (Text.startsWith(Prefix))
      return QString::fromUtf8(English) + Text.mid(Prefix.size());
  }
  return Text;
}

void LocalizeWidgets(QWidget *Window) {
  if (Window == nullptr)
    return;
  QList<QWidget *> Widgets = Window->findChildren<QWidget *>();
  Widgets.prepend(Window);
  for (QWidget *Widget : Widgets) {
    if (Widget->isWindow())
      Widget->setWindowTitle(Localized(Widget->windowTitle()));
    if (!Widget->toolTip().isEmpty())
      Widget->setToolTip(Localized(Widget->toolTip()));
    if (auto *Label = qobject_cast<QLabel *>(Widget)) {
      if (!Label->text().isEmpty() && Localized(Label->text()) != Label->text())
        Label->setText(Localized(Label->text()));
    } else if (auto *Button = qobject_cast<QAbstractButton *>(Widget)) {
      if (Localized(Button->text()) != Button->text())
        Button->setText(Localized(Button->text()));
    } else if (auto *Group = qobject_cast<QGroupBox *>(Widget)) {
      if (Localized(Group->title()) != Group->title())
        Group->setTitle(Localized(Group->title()));
    } else if (auto *Tabs = qobject_cast<QTabWidget *>(Widget)) {
      for (int i = 0; i < Tabs->count(); ++i)
        Tabs->setTabText(i, Localized(Tabs->tabText(i)));
    } else if (auto *Combo = qobject_cast<QComboBox *>(Widget)) {
      for (int i = 0; i < Combo->count(); ++i)
        if (Localized(Combo->itemText(i)) != Combo->itemText(i))
          Combo->setItemText(i, Localized(Combo->itemText(i)));
    } else if (auto *Table = qobject_cast<QTableWidget *>(Widget)) {
      LocalizeTable(Table);
      // Rows arrive while the window is open.
      if (!Table->property("zolLocalized").toBool()) {
        Table->setProperty("zolLocalized", true);
        QObject::connect(Table, &QTableWidget::itemChanged, Table, [](QTableWidgetItem *Item) {
          const QString Text = Localized(Item->text());
          if (Text != Item->text())
            Item->setText(Text);
        });
      }
    }
    if (auto *Menu = qobject_cast<QMenu *>(Widget))
      for (QAction *Action : Menu->actions())
        Action->setText(Localized(Action->text()));
  }
  if (auto *Dialog = qobject_cast<QFileDialog *>(Window)) {
    QStringList Filters = Dialog->nameFilters();
    for (QString &Filter : Filters)
      Filter = Localized(Filter);
    if (Filters != Dialog->nameFilters())
      Dialog->setNameFilters(Filters);
  }
}

bool InstallLanguage(QCoreApplication &App) {
  SetUiLanguage(LanguageOfUiLanguages(QLocale::system().uiLanguages()));
  App.installEventFilter(new TLanguageFilter(&App));
  if (InEnglish())
    return true;
  auto *Qt = new QTranslator(&App);
  if (!Qt->load(QLocale(QLocale::French, QLocale::France), QStringLiteral("qtbase"),
                QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete Qt;
    return false;
  }
  QCoreApplication::installTranslator(Qt);
  return true;
}

} // namespace zol
