#include "CameraAccessDialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

#include "DialogParts.h"
#include "LanguageFont.h"
#include "PubTool.h"
#include "app/DialogValues.h"

namespace {

constexpr int kWidth = 380;
constexpr int kMargin = 20;
constexpr int kLabelGap = 12;
// Labels sit this much lower than the field beside them, as in Port Setup.
constexpr int kLabelDrop = 4;

QLineEdit* AddEdit(QDialog& dialog, const char* objectName) {
  auto* edit = new QLineEdit(&dialog);
  edit->setObjectName(objectName);
  return edit;
}

}  // namespace

TFrmCameraAccess::TFrmCameraAccess(const TResourceTexts& texts, const TCameraAccess& access,
                                   QWidget* parent)
    : QDialog(parent), texts_(texts), allowBasic_(access.allowBasic) {
  setObjectName("FrmCameraAccess");
  lblUser_ = AddLabel(*this, "lblUser", kMargin, 0);
  edtUser_ = AddEdit(*this, "edtUser");
  lblPassword_ = AddLabel(*this, "lblPassword", kMargin, 0);
  edtPassword_ = AddEdit(*this, "edtPassword");
  edtPassword_->setEchoMode(QLineEdit::Password);
  chkShowPassword_ = new QCheckBox(this);
  chkShowPassword_->setObjectName("chkShowPassword");
  connect(chkShowPassword_, &QCheckBox::toggled, this, [this](bool shown) {
    edtPassword_->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
  });
  lblBind_ = AddLabel(*this, "lblBind", kMargin, 0);
  edtBind_ = AddEdit(*this, "edtBind");
  lblBindHint_ = AddLabel(*this, "lblBindHint", 0, 0);
  lblBindHint_->setWordWrap(true);
  chkOnvif_ = new QCheckBox(this);
  chkOnvif_->setObjectName("chkOnvif");
  btnOK_ = AddButton(*this, "btnOK", 0, 0);
  btnCancel_ = AddButton(*this, "btnCancel", 0, 0);
  btnOK_->setDefault(true);
  connect(btnOK_, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);

  ApplyFormFont(*this, texts.font);
  setWindowTitle(QString::fromStdString(texts.cameraAccess));
  lblUser_->setText(QString::fromStdString(texts.user));
  lblPassword_->setText(QString::fromStdString(texts.password));
  chkShowPassword_->setText(QString::fromStdString(texts.showPassword));
  lblBind_->setText(QString::fromStdString(texts.bindAddress));
  lblBindHint_->setText(QString::fromStdString(texts.bindAddressHint));
  chkOnvif_->setText(QString::fromStdString(texts.onvif));
  btnOK_->setText(QString::fromStdString(texts.ok));
  btnCancel_->setText(QString::fromStdString(texts.cancel));
  LayOut();

  edtUser_->setText(QString::fromStdString(access.user));
  edtPassword_->setText(QString::fromStdString(access.password));
  edtBind_->setText(QString::fromStdString(access.bindAddress));
  chkOnvif_->setChecked(access.onvifEnabled);
  edtUser_->setFocus();
}

// The fields start where the longest label of the language ends, and the band grows with the
// hint's lines, so that no translation is cut off.
void TFrmCameraAccess::LayOut() {
  int labelWidth = 0;
  for (QLabel* label : {lblUser_, lblPassword_, lblBind_}) {
    label->adjustSize();
    labelWidth = std::max(labelWidth, label->width());
  }
  const int fieldLeft = kMargin + std::max(labelWidth + kLabelGap, 68);
  const int fieldWidth = kWidth - kMargin - fieldLeft;
  const int fieldHeight = edtUser_->sizeHint().height();
  int top = 20;
  const auto placeRow = [&](QLabel* label, QLineEdit* edit) {
    label->move(kMargin, top + kLabelDrop);
    edit->setGeometry(fieldLeft, top, fieldWidth, fieldHeight);
    top += fieldHeight + 8;
  };
  placeRow(lblUser_, edtUser_);
  placeRow(lblPassword_, edtPassword_);
  chkShowPassword_->setGeometry(fieldLeft, top, fieldWidth, chkShowPassword_->sizeHint().height());
  top += chkShowPassword_->height() + 12;
  placeRow(lblBind_, edtBind_);
  lblBindHint_->setGeometry(fieldLeft, top - 4, fieldWidth,
                            lblBindHint_->heightForWidth(fieldWidth));
  top = lblBindHint_->geometry().bottom() + 1 + 10;
  chkOnvif_->setGeometry(kMargin, top, kWidth - 2 * kMargin, chkOnvif_->sizeHint().height());
  const int bandHeight = chkOnvif_->geometry().bottom() + 1 + 14;
  const int buttonTop = bandHeight + 16;
  MakeFixedDialog(*this, kWidth, buttonTop + 25 + 28);
  AddTopBand(*this, bandHeight, "bvl1");
  btnCancel_->move(kWidth - 25 - btnCancel_->width(), buttonTop);
  btnOK_->move(btnCancel_->x() - 13 - btnOK_->width(), buttonTop);
}

TCameraAccess TFrmCameraAccess::Entered() const {
  return TCameraAccess{
      .user = edtUser_->text().toStdString(),
      .password = edtPassword_->text().toStdString(),
      .allowBasic = allowBasic_,
      // Blanks around an address are a slip of the keyboard, not part of it.
      .bindAddress = edtBind_->text().trimmed().toStdString(),
      .onvifEnabled = chkOnvif_->isChecked(),
  };
}

void TFrmCameraAccess::accept() {
  using enum TCameraAccessProblem;
  const TCameraAccessProblem problem = CheckCameraAccess(Entered());
  if (problem == None) {
    QDialog::accept();
    return;
  }
  const auto tell = [this](const std::string& text, QLineEdit* field) {
    TellUser(*this, QString::fromStdString(text), texts_);
    // Back to the field at fault, ready for a new entry.
    field->setFocus();
    field->selectAll();
  };
  switch (problem) {
    case LineBreak: {
      QLineEdit* field = edtBind_;
      for (QLineEdit* edit : {edtPassword_, edtUser_}) {
        if (edit->text().contains('\n') || edit->text().contains('\r')) field = edit;
      }
      tell(texts_.lineBreakInEntry, field);
      break;
    }
    case BadBindAddress:
      tell(texts_.badBindAddress, edtBind_);
      break;
    case PasswordMissing:
      tell(texts_.passwordMissing, edtPassword_);
      break;
    case UserMissing:
      tell(texts_.userMissing, edtUser_);
      break;
    case OnvifNeedsUser:
      tell(texts_.onvifNeedsUser, edtUser_);
      break;
    case None:
      break;
  }
}

bool ShowCameraAccessDialog(const TResourceTexts& texts, TCameraAccess& access) {
  TFrmCameraAccess dialog(texts, access);
  CenterOnScreen(dialog);
  if (dialog.exec() != QDialog::Accepted) return false;
  const TCameraAccess entered = dialog.Entered();
  if (entered == access) return false;
  access = entered;
  return true;
}

bool ShowCameraAccessDialog(TCameraAccess& access) {
  return ShowCameraAccessDialog(ResourceTexts(), access);
}
