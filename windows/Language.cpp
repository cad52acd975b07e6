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
#include <QRegularExpression>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QTranslator>

#include <utility>
#include <vector>

#include "controls/MultiLangue.h"

namespace zol {

namespace {

TUiLanguage LanguageInForce = TUiLanguage::French;

/// The windows' own texts that no bilingual caption carries, French then English.
const char *const FrenchEnglish[][2] = {
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
    for (const auto &Pair : FrenchEnglish)
      Result.insert(QString::fromUtf8(Pair[0]), QString::fromUtf8(Pair[1]));
    return Result;
  }();
  return Table;
}

/// The core's messages, English, and their French: whole messages by pattern, then their parts.
struct TPattern {
  QRegularExpression English;
  QString French;
};

const std::vector<TPattern> &CorePatterns() {
  static const std::vector<TPattern> Table = [] {
    const std::pair<const char *, const char *> Source[] = {
        {"^Alarm (\\d) set point (.*) °C cannot be sent: (.*)$",
         "La consigne de l'alarme \\1 (\\2 °C) ne peut pas être envoyée : \\3"},
        {"^Alarm (\\d) hysteresis (.*) °C cannot be sent: (.*)$",
         "L'hystérésis de l'alarme \\1 (\\2 °C) ne peut pas être envoyée : \\3"},
        {"^Alarm (\\d) Delay (.*) s cannot be sent: (.*)$",
         "La temporisation de l'alarme \\1 (\\2 s) ne peut pas être envoyée : \\3"},
        {"^Delay (.*) s cannot be sent: (.*)$",
         "La temporisation (\\1 s) ne peut pas être envoyée : \\2"},
        {"^Filter (.*) s cannot be sent: (.*)$", "Le filtre (\\1 s) ne peut pas être envoyé : \\2"},
        {"^(.*) (\\S+) °C cannot be sent: (.*)$", "\\1 \\2 °C ne peut pas être envoyé : \\3"},
        {"^Clock (.*) cannot be sent: (.*)$", "L'horloge (\\1) ne peut pas être envoyée : \\2"},
        {"^History record (\\d+) cannot be asked for: the instrument numbers them 0 to 255$",
         "L'opération \\1 de l'historique ne peut pas être demandée : l'instrument les numérote "
         "de 0 à 255"},
        {"^Sending all settings was interrupted by another command: not every setting reached "
         "the instrument. Send them again.$",
         "L'envoi de tous les paramètres a été interrompu par une autre commande : ils ne sont "
         "pas tous parvenus à l'instrument. Envoyez-les à nouveau."},
        {"^Reading all settings was interrupted by another command. Read them again.$",
         "La lecture de tous les paramètres a été interrompue par une autre commande. "
         "Relisez-les."},
        {"^Cannot open (.*): (.*)$", "Impossible d'ouvrir \\1 : \\2"},
        {"^Cannot read (.*): (.*)$", "Impossible de lire \\1 : \\2"},
        {"^Cannot write (.*): (.*)$", "Impossible d'écrire \\1 : \\2"},
        {"^(.*) is not a parameter file: (.*)$", "\\1 n'est pas un fichier de paramètres : \\2"},
    };
    std::vector<TPattern> Result;
    for (const auto &[English, French] : Source)
      Result.push_back({QRegularExpression(QString::fromUtf8(English)), QString::fromUtf8(French)});
    return Result;
  }();
  return Table;
}

/// The reasons the core and the system give, English, and their French.
const char *const Reasons[][2] = {
    {"it is not a number", "ce n'est pas un nombre"},
    {"the instrument takes -3276.8 to 3276.7 °C", "l'instrument accepte de -3276,8 à 3276,7 °C"},
    {"it is not a valid date and time", "ce n'est pas une date et une heure valides"},
    {"the instrument counts days from 1/1/2000 to 6/6/2179",
     "l'instrument compte les jours du 1/1/2000 au 6/6/2179"},
    {"it is shorter than 88 bytes", "il fait moins de 88 octets"},
    {"it does not start with \"ZOLUSB V1.0-KOVA\"", "il ne commence pas par \"ZOLUSB V1.0-KOVA\""},
    {"No such file or directory", "fichier ou dossier introuvable"},
    {"Permission denied", "permission refusée"},
    {"Is a directory", "c'est un dossier"},
    {"No space left on device", "plus de place sur le disque"},
    {"Read-only file system", "système de fichiers en lecture seule"},
    {"Disk quota exceeded", "quota de disque dépassé"},
    {"Input/output error", "erreur d'entrée-sortie"},
    {"File name too long", "nom de fichier trop long"},
    {"Not a directory", "un élément du chemin n'est pas un dossier"},
};

QString FrenchOfCoreMessage(const QString &Text) {
  QString Result = Text;
  for (const TPattern &Pattern : CorePatterns()) {
    if (Pattern.English.match(Text).hasMatch()) {
      Result = QString(Text).replace(Pattern.English, Pattern.French);
      break;
    }
  }
  for (const auto &Pair : Reasons) {
    const QString English = QString::fromUtf8(Pair[0]);
    if (Result.endsWith(English))
      Result = Result.left(Result.size() - English.size()) + QString::fromUtf8(Pair[1]);
  }
  return Result;
}

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
    return FrenchOfCoreMessage(Text);
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
        QObject::connect(Table, &QTableWidget::itemChanged, Table, [Table](QTableWidgetItem *Item) {
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
