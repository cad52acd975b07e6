#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

class QCoreApplication;
class QWidget;

namespace zol {

struct TError;
struct TSystemError;

/// The language the windows speak: French by default, English on request.
enum class TUiLanguage : std::uint8_t { French, English };

/// English when the first of the user's interface languages (as Qt reads them from LANGUAGE,
/// LC_ALL, LC_MESSAGES, LANG) is English; French otherwise.
TUiLanguage LanguageOfUiLanguages(const QStringList &UiLanguages);
/// The language in force; French until SetUiLanguage.
TUiLanguage UiLanguage();
/// Sets the language in force for the windows and their bilingual captions. Call it before the
/// windows are created.
void SetUiLanguage(TUiLanguage Language);
inline bool InEnglish() {
  return UiLanguage() == TUiLanguage::English;
}
/// French or English (both UTF-8), by the language in force.
QString Tr(const char *French, const char *English);

/// A text of the windows in the language in force: a French text of the windows becomes its
/// English text in English. A text it does not know is returned as it is.
QString Localized(const QString &Text);

/// An error of the core (a value no frame carries, a chain interrupted, a file that could not be
/// read or written) in the language in force, with its values.
QString Worded(const TError &Error);
/// Why the system refused a file, in the language in force.
QString Worded(const TSystemError &Error);

/// Puts every text of Window and its children (captions, titles, hints, tabs, menus, lists,
/// table cells) in the language in force.
void LocalizeWidgets(QWidget *Window);

/// Chooses the language from the environment, loads Qt's own translations for the standard
/// dialogs in French (qtbase_fr.qm), and from then on puts each window or message box in the
/// language in force as it is shown. Returns false when French was chosen but Qt's French
/// translations are not installed (the standard dialogs then stay English).
bool InstallLanguage(QCoreApplication &App);

} // namespace zol
