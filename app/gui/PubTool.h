// Small pieces the tray windows share: the application's title and the Yes/No question box.
#pragma once

#include <QString>

class QMessageBox;
class QWidget;
struct TResourceTexts;

// The title questions and the tray hint carry; set from the language's product title.
const QString& ApplicationTitle();
void SetApplicationTitle(const QString& title);

// Asks a Yes/No question on top of every other window; No is the default answer. True on Yes.
bool AskYesNo(const QString& text);
// The box AskYesNo shows, for callers that need to reach it while it is open.
constexpr const char* kAskYesNoObjectName = "AskYesNo";

// Tells the user why an entry cannot be taken, over the dialog it belongs to: the dialog's caption,
// the language's font and OK.
void TellUser(QWidget& dialog, const QString& text, const TResourceTexts& texts);
constexpr const char* kTellUserObjectName = "TellUser";
