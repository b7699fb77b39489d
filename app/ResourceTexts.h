// The shell's user-visible texts and the font to show them in, loaded from the language file.
// Every key is declared once, with its section and built-in English text, in ResourceTexts.cpp.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "Localize.h"

struct TResourceTexts {
  // Every text starts with its built-in default.
  TResourceTexts();

  TLanguageFont font;
  std::string ok;
  std::string cancel;
  std::string exitSystem;
  std::string queryForExitSystem;
  std::string productTitle;
  std::string changeLanguage;
  std::string language;
  std::string port;
  std::string portSetup;
  std::string makerShortName;
  std::string productType;
  std::string makerFullName;
  std::string makerContact;
  std::string productName;
  std::string about;
  std::string copyRight;
  std::string version;
  std::string cameraAccess;
  std::string user;
  std::string password;
  std::string showPassword;
  std::string bindAddress;
  std::string bindAddressHint;
  std::string badBindAddress;
  std::string passwordMissing;
  std::string userMissing;
  std::string lineBreakInEntry;
  std::string onvif;
  std::string onvifNeedsUser;
  std::string screenSharingRefused;
  std::string askScreenSharing;
  std::string startWithDesktop;
  // The tray hint on publishing: "<connectingTo> host:port/path", "<publishingTo> ...",
  // "<retryingIn> 4 <secondsShort>", "<publishRefused> 401".
  std::string connectingTo;
  std::string publishingTo;
  std::string retryingIn;
  std::string secondsShort;
  std::string publishRefused;
};

enum class TTextSection { Dialog, System };

struct TResourceTextKey {
  TTextSection section;
  std::string_view key;
  std::string_view builtIn;
  std::string TResourceTexts::*text;
};

// In load order.
std::span<const TResourceTextKey> ResourceTextKeys();

// Reads every text of the language file into `texts`. The current text of each is the fallback, so
// after a language change a text the new file lacks keeps the previous language's wording, and
// that wording is what gets written into the new file.
void LoadResourceTexts(TLxlocalize& localize, TResourceTexts& texts);

// The process-wide texts, created with the built-in defaults on first use.
TResourceTexts& ResourceTexts();
// LoadResourceTexts over GetLocalize() and ResourceTexts().
void LoadResourceTexts();
