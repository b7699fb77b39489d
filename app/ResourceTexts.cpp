#include "ResourceTexts.h"

#include <array>

namespace {

using enum TTextSection;
using T = TResourceTexts;

constexpr std::array<TResourceTextKey, 37> kKeys{{
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
    {System, "CameraAccess", "Camera Access", &T::cameraAccess},
    {System, "User", "User", &T::user},
    {System, "Password", "Password", &T::password},
    {System, "ShowPassword", "Show password", &T::showPassword},
    {System, "BindAddress", "Bind address", &T::bindAddress},
    {System, "BindAddressHint", "Empty: every network interface. 127.0.0.1: this computer only.",
     &T::bindAddressHint},
    {System, "BadBindAddress",
     "The bind address must be empty or an IPv4 address such as 192.168.1.20.", &T::badBindAddress},
    {System, "PasswordMissing",
     "A user needs a password. Leave both empty to let anyone watch without one.",
     &T::passwordMissing},
    {System, "UserMissing",
     "A password needs a user name. Leave both empty to let anyone watch without one.",
     &T::userMissing},
    {System, "LineBreakInEntry", "User, password and address cannot hold line breaks.",
     &T::lineBreakInEntry},
    {System, "Onvif", "ONVIF: recorders find the camera and log in with this user", &T::onvif},
    {System, "OnvifNeedsUser", "ONVIF needs a user and password: recorders log in with them.",
     &T::onvifNeedsUser},
    {System, "ScreenSharingRefused", "screen sharing was not allowed", &T::screenSharingRefused},
    {System, "AskScreenSharing", "Ask Again to Share the Screen", &T::askScreenSharing},
    {System, "StartWithDesktop", "Start With Desktop", &T::startWithDesktop},
    {System, "ConnectingTo", "connecting to", &T::connectingTo},
    {System, "PublishingTo", "publishing to", &T::publishingTo},
    {System, "RetryingIn", "retrying in", &T::retryingIn},
    {System, "SecondsShort", "s", &T::secondsShort},
    {System, "PublishRefused", "refused:", &T::publishRefused},
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
