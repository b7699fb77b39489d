// The About box: the product, its version and the maker's lines, each of which SConfig.ini may
// override in its System section.
#pragma once

#include <QDialog>

#include <filesystem>

#include "app/ResourceTexts.h"

class QLabel;
class QPushButton;

class TAboutDlg : public QDialog {
 public:
  // configFile is read afresh for every box; emptyInfo is the EnableEmptyInfo setting.
  TAboutDlg(const TResourceTexts& texts, const std::filesystem::path& configFile, bool emptyInfo,
            QWidget* parent = nullptr);

 private:
  QLabel* lblCompany_;
  QLabel* lblDVR_;
  QLabel* lblName_;
  QLabel* lblversion_;
  QLabel* lblCopyRight_;
  QLabel* lblTip1_;
  QLabel* lblTip2_;
  QPushButton* BtnOK_;
};

void ShowAboutDialog(const TResourceTexts& texts, const std::filesystem::path& configFile,
                     bool emptyInfo);
void ShowAboutDialog();
