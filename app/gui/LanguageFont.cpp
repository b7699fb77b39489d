#include "LanguageFont.h"

#include <QFontDatabase>
#include <QWidget>

#include "app/ResourceTexts.h"

namespace {

// The script a Windows font charset stands for; Any where the charset says nothing about it.
QFontDatabase::WritingSystem WritingSystemOf(int32_t charset) {
  switch (charset) {
    case 0:
    case 77:
    case 162:
    case 186:
    case 238:
      return QFontDatabase::Latin;
    case 2:
      return QFontDatabase::Symbol;
    case 128:
      return QFontDatabase::Japanese;
    case 129:
    case 130:
      return QFontDatabase::Korean;
    case 134:
      return QFontDatabase::SimplifiedChinese;
    case 136:
      return QFontDatabase::TraditionalChinese;
    case 161:
      return QFontDatabase::Greek;
    case 163:
      return QFontDatabase::Vietnamese;
    case 177:
      return QFontDatabase::Hebrew;
    case 178:
      return QFontDatabase::Arabic;
    case 204:
      return QFontDatabase::Cyrillic;
    case 222:
      return QFontDatabase::Thai;
    default:
      return QFontDatabase::Any;
  }
}

// The named family when this system has it for the script; otherwise let font matching find the
// nearest face, and only if that cannot write the script, the first family that can.
QString ResolveFamily(const QString& name, QFontDatabase::WritingSystem script) {
  if (script == QFontDatabase::Any) return name;
  QFont probe(name);
  const QString matched = QFontInfo(probe).family();
  if (QFontDatabase::writingSystems(matched).contains(script)) return name;
  const QStringList families = QFontDatabase::families(script);
  return families.isEmpty() ? name : families.front();
}

}  // namespace

QFont LanguageQFont(const TLanguageFont& font) {
  const QString name = QString::fromStdString(font.name);
  QFont result(ResolveFamily(name, WritingSystemOf(font.charset)));
  if (font.size > 0) result.setPointSize(font.size);
  return result;
}

void ApplyFormFont(QWidget& form, const TLanguageFont& font) {
  const QFont language = LanguageQFont(font);
  form.setFont(language);
  for (QWidget* child : form.findChildren<QWidget*>()) {
    if (!child->testAttribute(Qt::WA_SetFont)) continue;
    QFont own = child->font();
    own.setFamily(language.family());
    own.setPointSize(language.pointSize());
    child->setFont(own);
  }
}

void ApplyFormFont(QWidget& form) {
  ApplyFormFont(form, ResourceTexts().font);
}
