#include "SetupLanguageDialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>

#include "DialogParts.h"
#include "LanguageFont.h"

TFrmSetupLanguage::TFrmSetupLanguage(TLxlocalize& localize, const TResourceTexts& texts,
                                     QWidget* parent)
    : QDialog(parent), localize_(localize) {
  setObjectName("FrmSetupLanguage");
  MakeFixedDialog(*this, 340, 157);
  AddTopBand(*this, 89, "bvl1");
  lblMode_ = AddLabel(*this, "lblMode", 20, 15);
  cbbLanguage_ = new QComboBox(this);
  cbbLanguage_->setObjectName("cbbLanguage");
  cbbLanguage_->setGeometry(20, 43, 300, cbbLanguage_->sizeHint().height());
  cbbLanguage_->setEditable(false);
  cbbLanguage_->setFont(QFont("Arial"));
  QPalette white = cbbLanguage_->palette();
  white.setColor(QPalette::Base, Qt::white);
  white.setColor(QPalette::Button, Qt::white);
  cbbLanguage_->setPalette(white);
  btnOK_ = AddButton(*this, "btnOK", 155, 103);
  btnCancel_ = AddButton(*this, "btnCancel", 243, 103);
  btnOK_->setDefault(true);
  connect(btnOK_, &QPushButton::clicked, this, [this] { btnOKClick(); });
  connect(btnCancel_, &QPushButton::clicked, this, &QDialog::reject);

  ApplyFormFont(*this, texts.font);
  setWindowTitle(QString::fromStdString(texts.changeLanguage));
  lblMode_->setText(QString::fromStdString(texts.language) + ":");
  lblMode_->adjustSize();
  FillLanguages();
  btnOK_->setText(QString::fromStdString(texts.ok));
  btnCancel_->setText(QString::fromStdString(texts.cancel));
}

void TFrmSetupLanguage::FillLanguages() {
  const QSignalBlocker quiet(cbbLanguage_);
  cbbLanguage_->clear();
  QStringList names;
  for (const std::string& name : localize_.LanguageDisplayNames()) {
    names << QString::fromStdString(name);
  }
  cbbLanguage_->addItems(names);
  shownIndex_ = localize_.CurrentLanguageIndex();
  cbbLanguage_->setCurrentIndex(shownIndex_);
}

void TFrmSetupLanguage::btnOKClick() {
  const int chosen = cbbLanguage_->currentIndex();
  if (chosen >= 0 && chosen != shownIndex_) localize_.ChangeLanguage(chosen);
  accept();
}

bool ShowLanguageDialog(TLxlocalize& localize, const TResourceTexts& texts) {
  TFrmSetupLanguage dialog(localize, texts);
  CenterOnScreen(dialog);
  return dialog.exec() == QDialog::Accepted;
}

bool ShowLanguageDialog() {
  return ShowLanguageDialog(GetLocalize(), ResourceTexts());
}
