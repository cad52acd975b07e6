#include "windows/Error.h"

#include <QLabel>
#include <QPushButton>

#include "ui_Error.h"

static void InitErrorPictures() {
  Q_INIT_RESOURCE(windows);
}

namespace zol {

TErrorForm *ErrorForm = nullptr;

TErrorForm::TErrorForm(QWidget *parent) : QDialog(parent), ui(std::make_unique<Ui::TErrorForm>()) {
  InitErrorPictures();
  ui->setupUi(this);
  Image2 = ui->Image2;
  Label1 = ui->Label1;
  Button1 = ui->Button1;

  // A sizeable tool window.
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  resize(243, 129);
  setAttribute(Qt::WA_QuitOnClose, false);

  QFont Font(QStringLiteral("MS Sans Serif"));
  Font.setStyleHint(QFont::SansSerif); // the nearest sans-serif font where it is missing
  Font.setPixelSize(11);
  setFont(Font);
  Font.setPixelSize(19);
  Label1->setFont(Font);

  connect(Button1, &QPushButton::clicked, this, &TErrorForm::Button1Click);
}

TErrorForm::~TErrorForm() = default;

void TErrorForm::Button1Click() {
  close();
}

} // namespace zol
