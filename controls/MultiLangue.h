#pragma once

#include <QObject>
#include <QString>

namespace zol {

/// The two texts of one caption, French and English. The program runs in French: Langue always
/// reads Francais, so Texte is the French text. Writing Langue sets the language of the whole
/// program; when that changes the language, the set written (and only that one) raises
/// ChangeLangue.
class TMultiLangue : public QObject {
  Q_OBJECT
  Q_PROPERTY(zol::TMultiLangue::TLangue Langue READ Langue WRITE setLangue)
  Q_PROPERTY(QString Texte_Francais READ Texte_Francais WRITE setTexte_Francais)
  Q_PROPERTY(QString Texte_Anglais READ Texte_Anglais WRITE setTexte_Anglais)

public:
  enum class TLangue { Anglais = 0, Francais = 1 };
  Q_ENUM(TLangue)

  explicit TMultiLangue(QObject *Parent = nullptr);

  /// The language the program runs in (Francais unless it was started in English), whatever
  /// was written.
  TLangue Langue() const;
  /// Sets the language the program runs in, that every set reads; before the windows are made.
  static void SetLangueEnVigueur(TLangue Value);
  /// Sets the program's language; on a change, raises ChangeLangue of this set.
  void setLangue(TLangue Value);
  /// The text of the language that Langue reads.
  QString Texte() const;

  const QString &Texte_Francais() const { return FTexte_Francais; }
  void setTexte_Francais(const QString &Value) { FTexte_Francais = Value; }
  const QString &Texte_Anglais() const { return FTexte_Anglais; }
  void setTexte_Anglais(const QString &Value) { FTexte_Anglais = Value; }

signals:
  /// A write to Langue changed the program's language (the sender is this set).
  void ChangeLangue();

private:
  QString FTexte_Francais;
  QString FTexte_Anglais;
};

using TLangue = TMultiLangue::TLangue;

} // namespace zol
