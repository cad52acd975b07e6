#pragma once

#include <QList>
#include <QString>
#include <QTabWidget>

class QButtonGroup;
class QStyleOptionTabWidgetFrame;
class QToolButton;

namespace zol {

/// A page control whose tabs are flat buttons, wrapped onto as many rows as their captions need
/// (a narrow dialog with long tab captions keeps every caption readable).
class TPageControl : public QTabWidget {
  Q_OBJECT

public:
  explicit TPageControl(QWidget *Parent = nullptr);

  /// Sets the caption of page Index and lays the tab buttons out again.
  void setPageCaption(int Index, const QString &Caption);
  /// The flat button that stands for page Index (nullptr out of range).
  QToolButton *tabButton(int Index) const;

protected:
  void tabInserted(int Index) override;
  void tabRemoved(int Index) override;
  void resizeEvent(QResizeEvent *Event) override;
  void showEvent(QShowEvent *Event) override;
  void initStyleOption(QStyleOptionTabWidgetFrame *Option) const override;

private:
  void RebuildButtons();
  void LayoutButtons();

  QButtonGroup *FButtons;
  QList<QToolButton *> FTabButtons;
  int FStripHeight = 0;
};

} // namespace zol
