// The language's font on Qt widgets: the family a language file names, or the closest one this
// system has for the language's script.
#pragma once

#include <QFont>

#include "app/Localize.h"

class QWidget;

QFont LanguageQFont(const TLanguageFont& font);

// Gives the form the language font, and every widget inside it that carries a font of its own
// the language's family and size (keeping its own weight and style).
void ApplyFormFont(QWidget& form, const TLanguageFont& font);
// ApplyFormFont with the font of the current texts.
void ApplyFormFont(QWidget& form);
