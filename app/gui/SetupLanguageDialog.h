// The language dialog: lists the language files and switches to the one chosen.
#pragma once

#include <QDialog>

#include "app/Localize.h"
#include "app/ResourceTexts.h"

class QComboBox;
class QLabel;
class QPushButton;

class TFrmSetupLanguage : public QDialog {
 public:
  TFrmSetupLanguage(TLxlocalize& localize, const TResourceTexts& texts, QWidget* parent = nullptr);

  QComboBox& LanguageList() { return *cbbLanguage_; }

 private:
  void FillLanguages();
  void btnOKClick();

  TLxlocalize& localize_;
  QLabel* lblMode_;
  QComboBox* cbbLanguage_;
  QPushButton* btnOK_;
  QPushButton* btnCancel_;
  int shownIndex_ = -1;  // the current language's position when the list was filled
};

// Shows the dialog modally; true when it was closed with OK.
bool ShowLanguageDialog(TLxlocalize& localize, const TResourceTexts& texts);
bool ShowLanguageDialog();
