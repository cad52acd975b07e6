#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QString>

#include <memory>

#include "controls/MultiLangue.h"

class QContextMenuEvent;

namespace zol {

/// What the five bilingual controls share: a text set for the caption and one for the hint, and
/// the rules that put the text of the language in force on screen.
///
/// In a window description (.ui) the texts are set through the properties captionFr, captionEn,
/// hintFr, hintEn (and the languages through captionLangue, hintLangue); after setupUi, FormLoaded
/// shows them.
class TLangueControl {
public:
  TLangueControl(const TLangueControl &) = delete;
  TLangueControl &operator=(const TLangueControl &) = delete;

  /// Texts of the caption; owned by the control.
  TMultiLangue *CaptionSet() const { return FCaptionSet.get(); }
  /// Texts of the hint (tool tip); owned by the control.
  TMultiLangue *HintSet() const { return FHintSet.get(); }

  /// The caption set's current text (not necessarily what is on screen).
  QString Caption() const { return FCaptionSet->Texte(); }
  /// Writes the caption; all but the check box ignore the text and show the caption set's.
  virtual void setCaption(const QString &Text) = 0;
  /// The hint set's current text (not necessarily the tool tip in force).
  QString Hint() const { return FHintSet->Texte(); }
  /// Stores Text as the control's ordinary hint, its tool tip.
  void setHint(const QString &Text);

  /// The control's properties have all been read from its window description: shows its texts.
  virtual void PropertiesLoaded();
  /// Re-applies caption and hint from the sets, then repaints; other controls are left alone.
  virtual void Repaint();
  /// Shows caption and hint from the sets, then refreshes the other controls of the same parent
  /// (one level: a refresh does not start another). Also runs on ChangeLangue of either set.
  void ApplyLangue();

  // Window-description access to the sets.
  QString captionFr() const { return FCaptionSet->Texte_Francais(); }
  void setCaptionFr(const QString &Value) { FCaptionSet->setTexte_Francais(Value); }
  QString captionEn() const { return FCaptionSet->Texte_Anglais(); }
  void setCaptionEn(const QString &Value) { FCaptionSet->setTexte_Anglais(Value); }
  QString hintFr() const { return FHintSet->Texte_Francais(); }
  void setHintFr(const QString &Value) { FHintSet->setTexte_Francais(Value); }
  QString hintEn() const { return FHintSet->Texte_Anglais(); }
  void setHintEn(const QString &Value) { FHintSet->setTexte_Anglais(Value); }
  TLangue captionLangue() const { return FCaptionSet->Langue(); }
  void setCaptionLangue(TLangue Value) { FCaptionSet->setLangue(Value); }
  TLangue hintLangue() const { return FHintSet->Langue(); }
  void setHintLangue(TLangue Value) { FHintSet->setLangue(Value); }

protected:
  /// Self is the widget that this object is part of.
  explicit TLangueControl(QWidget *Self);
  /// Frees both sets before the widget part of the control goes.
  virtual ~TLangueControl();

private:
  QWidget *FSelf;
  std::unique_ptr<TMultiLangue> FHintSet;
  std::unique_ptr<TMultiLangue> FCaptionSet;
};

/// Tells every bilingual control in Form (Form included), built from a window description, that
/// its properties are loaded, so that each shows its texts. Call it right after setupUi.
void FormLoaded(QWidget *Form);

/// A label that shows its caption set's text.
class TLabelLangue : public QLabel, public TLangueControl {
  Q_OBJECT
  Q_PROPERTY(QString captionFr READ captionFr WRITE setCaptionFr)
  Q_PROPERTY(QString captionEn READ captionEn WRITE setCaptionEn)
  Q_PROPERTY(QString hintFr READ hintFr WRITE setHintFr)
  Q_PROPERTY(QString hintEn READ hintEn WRITE setHintEn)
  Q_PROPERTY(zol::TMultiLangue::TLangue captionLangue READ captionLangue WRITE setCaptionLangue)
  Q_PROPERTY(zol::TMultiLangue::TLangue hintLangue READ hintLangue WRITE setHintLangue)

public:
  explicit TLabelLangue(QWidget *Parent = nullptr);
  /// Ignores Text and shows the caption set's text.
  void setCaption(const QString &Text) override;
};

/// A picture push button whose caption comes from its caption set.
class TBitBtnLangue : public QPushButton, public TLangueControl {
  Q_OBJECT
  Q_PROPERTY(QString captionFr READ captionFr WRITE setCaptionFr)
  Q_PROPERTY(QString captionEn READ captionEn WRITE setCaptionEn)
  Q_PROPERTY(QString hintFr READ hintFr WRITE setHintFr)
  Q_PROPERTY(QString hintEn READ hintEn WRITE setHintEn)
  Q_PROPERTY(zol::TMultiLangue::TLangue captionLangue READ captionLangue WRITE setCaptionLangue)
  Q_PROPERTY(zol::TMultiLangue::TLangue hintLangue READ hintLangue WRITE setHintLangue)

public:
  explicit TBitBtnLangue(QWidget *Parent = nullptr);
  /// Ignores Text and shows the caption set's text.
  void setCaption(const QString &Text) override;
};

/// A check box whose caption comes from its caption set; a caption written directly shows until
/// the next Repaint or ApplyLangue.
class TCheckBoxLangue : public QCheckBox, public TLangueControl {
  Q_OBJECT
  Q_PROPERTY(QString captionFr READ captionFr WRITE setCaptionFr)
  Q_PROPERTY(QString captionEn READ captionEn WRITE setCaptionEn)
  Q_PROPERTY(QString hintFr READ hintFr WRITE setHintFr)
  Q_PROPERTY(QString hintEn READ hintEn WRITE setHintEn)
  Q_PROPERTY(zol::TMultiLangue::TLangue captionLangue READ captionLangue WRITE setCaptionLangue)
  Q_PROPERTY(zol::TMultiLangue::TLangue hintLangue READ hintLangue WRITE setHintLangue)

public:
  explicit TCheckBoxLangue(QWidget *Parent = nullptr);
  /// Shows Text.
  void setCaption(const QString &Text) override;
};

/// A radio button whose caption comes from its caption set.
class TRadioButtonLangue : public QRadioButton, public TLangueControl {
  Q_OBJECT
  Q_PROPERTY(QString captionFr READ captionFr WRITE setCaptionFr)
  Q_PROPERTY(QString captionEn READ captionEn WRITE setCaptionEn)
  Q_PROPERTY(QString hintFr READ hintFr WRITE setHintFr)
  Q_PROPERTY(QString hintEn READ hintEn WRITE setHintEn)
  Q_PROPERTY(zol::TMultiLangue::TLangue captionLangue READ captionLangue WRITE setCaptionLangue)
  Q_PROPERTY(zol::TMultiLangue::TLangue hintLangue READ hintLangue WRITE setHintLangue)

public:
  explicit TRadioButtonLangue(QWidget *Parent = nullptr);
  /// Ignores Text and shows the caption set's text.
  void setCaption(const QString &Text) override;
};

/// A group box whose title comes from its caption set.
class TGroupBoxLangue : public QGroupBox, public TLangueControl {
  Q_OBJECT
  Q_PROPERTY(QString captionFr READ captionFr WRITE setCaptionFr)
  Q_PROPERTY(QString captionEn READ captionEn WRITE setCaptionEn)
  Q_PROPERTY(QString hintFr READ hintFr WRITE setHintFr)
  Q_PROPERTY(QString hintEn READ hintEn WRITE setHintEn)
  Q_PROPERTY(zol::TMultiLangue::TLangue captionLangue READ captionLangue WRITE setCaptionLangue)
  Q_PROPERTY(zol::TMultiLangue::TLangue hintLangue READ hintLangue WRITE setHintLangue)

public:
  explicit TGroupBoxLangue(QWidget *Parent = nullptr);
  /// Ignores Text and shows the caption set's text as the title.
  void setCaption(const QString &Text) override;
};

/// A picture push button with a second action: its context menu's first entry runs the button's
/// click, the second raises AltClick. The binding is made afresh each time the menu opens, so one
/// menu can serve several buttons, each opening serving the button right-clicked.
class TBitBtnAlt : public QPushButton {
  Q_OBJECT

public:
  explicit TBitBtnAlt(QWidget *Parent = nullptr);

  /// The context menu; none shows without one, or when it has no entries.
  QMenu *PopupMenu() const { return FPopupMenu; }
  void setPopupMenu(QMenu *Menu) { FPopupMenu = Menu; }

signals:
  /// The second entry of the context menu was chosen (OnAltClick).
  void AltClick();

protected:
  void contextMenuEvent(QContextMenuEvent *Event) override;

private:
  QPointer<QMenu> FPopupMenu;
};

} // namespace zol
