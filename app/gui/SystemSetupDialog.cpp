#include "SystemSetupDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "DialogParts.h"
#include "LanguageFont.h"
#include "app/DialogValues.h"

TFrmSystemSetup::TFrmSystemSetup(const TResourceTexts& texts, int32_t port, QWidget* parent)
    : QDialog(parent) {
  setObjectName("FrmSystemSetup");
  MakeFixedDialog(*this, 311, 130);
  AddTopBand(*this, 61, "bvl1");
  lblPort_ = AddLabel(*this, "lblPort", 20, 24);
  edtPort_ = new QLineEdit(this);
  edtPort_->setObjectName("edtPort");
  edtPort_->setGeometry(88, 20, 200, edtPort_->sizeHint().height());
  btnOK_ = AddButton(*this, "btnOK", 123, 77);
  btnCancel_ = AddButton(*this, "btnCancel", 211, 77);
  btnOK_->setDefault(true);
  connect(btnOK_, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);

  ApplyFormFont(*this, texts.font);
  setWindowTitle(QString::fromStdString(texts.portSetup));
  lblPort_->setText(QString::fromStdString(texts.port));
  lblPort_->adjustSize();
  btnOK_->setText(QString::fromStdString(texts.ok));
  btnCancel_->setText(QString::fromStdString(texts.cancel));
  edtPort_->setText(QString::number(port));
  // Typing a new port replaces the old one rather than adding digits to it.
  edtPort_->selectAll();
  edtPort_->setFocus();
}

QString TFrmSystemSetup::PortText() const {
  return edtPort_->text();
}

bool ShowPortSetupDialog(const TResourceTexts& texts, int32_t& port) {
  TFrmSystemSetup dialog(texts, port);
  CenterOnScreen(dialog);
  if (dialog.exec() != QDialog::Accepted) return false;
  const int32_t entered = ParsePortEntry(dialog.PortText().toStdString());
  if (entered == port) return false;
  port = entered;
  return true;
}

bool ShowPortSetupDialog(int32_t& port) {
  return ShowPortSetupDialog(ResourceTexts(), port);
}
