#include "AboutDialog.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "DialogParts.h"
#include "LanguageFont.h"
#include "app/CommandLine.h"
#include "app/DialogValues.h"
#include "config/IniFile.h"
#include "config/Settings.h"

namespace {

constexpr int kLabelLeft = 16;
constexpr int kLabelWidth = 329 - 2 * kLabelLeft;

QString Text(const std::string& utf8) {
  return QString::fromStdString(utf8);
}

void SetLabel(QLabel& label, const QString& text) {
  label.setText(text);
  label.adjustSize();
  label.resize(kLabelWidth, label.height());
}

}  // namespace

TAboutDlg::TAboutDlg(const TResourceTexts& texts, const std::filesystem::path& configFile,
                     bool emptyInfo, QWidget* parent)
    : QDialog(parent) {
  setObjectName("AboutDlg");
  MakeFixedDialog(*this, 329, 307);
  lblCompany_ = AddLabel(*this, "lblCompany", kLabelLeft, 16);
  lblDVR_ = AddLabel(*this, "lblDVR", kLabelLeft, 32);
  lblName_ = AddLabel(*this, "lblName", kLabelLeft, 67);
  lblversion_ = AddLabel(*this, "lblversion", kLabelLeft, 91);
  lblCopyRight_ = AddLabel(*this, "lblCopyRight", kLabelLeft, 115);
  lblTip1_ = AddLabel(*this, "lblTip1", kLabelLeft, 139);
  lblTip2_ = AddLabel(*this, "lblTip2", kLabelLeft, 170);
  auto* bevel = new QFrame(this);
  bevel->setObjectName("Bevel1");
  bevel->setFrameShape(QFrame::HLine);
  bevel->setFrameShadow(QFrame::Sunken);
  bevel->setGeometry(8, 239, 313, 2);
  BtnOK_ = AddButton(*this, "BtnOK", 233, 255);
  BtnOK_->setDefault(true);
  connect(BtnOK_, &QPushButton::clicked, this, &QDialog::accept);

  ApplyFormFont(*this, texts.font);
  const TIniFile config(configFile);
  const auto about = [&config](const char* key, const std::string& fallback) {
    return Text(ReadAboutValue(config, key, fallback));
  };
  const auto orEmpty = [emptyInfo](const std::string& text) {
    return EmptyInfoDefault(emptyInfo, text);
  };

  QFont company = lblCompany_->font();
  company.setBold(true);
  company.setPointSize(9);
  lblCompany_->setFont(company);
  SetLabel(*lblCompany_, about("Company", orEmpty(texts.makerShortName)));

  QFont productType("Arial Black");
  productType.setPointSize(16);
  productType.setBold(true);
  lblDVR_->setFont(productType);
  SetLabel(*lblDVR_, about("ProductType", texts.productType));

  SetLabel(*lblName_, about("ProductName", orEmpty(texts.productName)));
  // The caption follows the language even where SConfig.ini names another product type.
  setWindowTitle(Text(texts.about) + " " + Text(texts.productType));
  SetLabel(*lblCopyRight_,
           Text(texts.copyRight) + ": " + about("CopyRight", orEmpty(texts.makerFullName)));
  SetLabel(*lblversion_, Text(texts.version) + ": " + about("ProductVersion", ProgramVersion()));
  SetLabel(*lblTip1_, about("Info1", orEmpty(texts.makerContact)));
  SetLabel(*lblTip2_, about("Info2", orEmpty(lblTip2_->text().toStdString())));
  BtnOK_->setText(Text(texts.ok));
}

void ShowAboutDialog(const TResourceTexts& texts, const std::filesystem::path& configFile,
                     bool emptyInfo) {
  TAboutDlg dialog(texts, configFile, emptyInfo);
  CenterOnScreen(dialog);
  dialog.exec();
}

void ShowAboutDialog() {
  ShowAboutDialog(ResourceTexts(), Settings().ConfigFile(), Settings().EmptyInfoEnabled());
}
