#include "ResourceTexts.h"

#include <array>

namespace {

using enum TTextSection;
using T = TResourceTexts;

constexpr std::array<TResourceTextKey, 17> kKeys{{
    {Dialog, "OK", "OK", &T::ok},
    {Dialog, "Cancel", "Cancel", &T::cancel},
    {System, "ExitSystem", "Exit System", &T::exitSystem},
    {System, "QueryForExitSystem", "Are you sure exit the system now?", &T::queryForExitSystem},
    {System, "ProductTitle", "Vistrel Service", &T::productTitle},
    {System, "ChangeLanguage", "Change Language", &T::changeLanguage},
    {System, "Language", "Language", &T::language},
    {System, "Port", "Port", &T::port},
    {System, "PortSetup", "Port Setup", &T::portSetup},
    {System, "ZelcorDigital", "Vistrel", &T::makerShortName},
    {System, "ProductType", "Desktop Camera", &T::productType},
    {System, "ZelcorCompany", "The Vistrel developers", &T::makerFullName},
    {System, "ZelcorContact", "Support: see the documentation", &T::makerContact},
    {System, "ZelcorProductName", "Vistrel Desktop Camera", &T::productName},
    {System, "About", "About", &T::about},
    {System, "CopyRight", "CopyRight", &T::copyRight},
    {System, "Version", "Version", &T::version},
}};

}  // namespace

TResourceTexts::TResourceTexts() {
  for (const TResourceTextKey& key : kKeys) this->*key.text = key.builtIn;
}

std::span<const TResourceTextKey> ResourceTextKeys() {
  return kKeys;
}

void LoadResourceTexts(TLxlocalize& localize, TResourceTexts& texts) {
  localize.SetTextSection("System");
  // Without a language file the texts are English again, not the last language's leftovers.
  if (!localize.FileLoaded()) texts = TResourceTexts();
  texts.font = localize.Font();
  for (const TResourceTextKey& key : kKeys) {
    std::string& text = texts.*key.text;
    text = key.section == Dialog ? localize.ReadDialogText(key.key, text)
                                 : localize.ReadText(key.key, text);
  }
  localize.PruneSections();
}

TResourceTexts& ResourceTexts() {
  static TResourceTexts* const texts = new TResourceTexts();
  return *texts;
}

void LoadResourceTexts() {
  LoadResourceTexts(GetLocalize(), ResourceTexts());
}
