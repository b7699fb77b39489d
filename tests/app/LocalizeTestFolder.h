// A temporary program folder with its languages folder, for tests of the language files.
#pragma once

#include <filesystem>
#include <string>

#include "tests/support/IniTestFiles.h"
#include "tests/support/Subprocess.h"

namespace localize_test {

class TProgramFolder {
 public:
  TProgramFolder() : config_("SConfig.ini") {}

  std::filesystem::path Folder() const { return ConfigFile().parent_path(); }
  std::filesystem::path ConfigFile() const { return config_.path(); }
  std::filesystem::path Languages() const { return Folder() / "languages"; }

  std::filesystem::path AddLanguage(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories(Languages());
    ini_test::WriteBytes(Languages() / name, bytes);
    return Languages() / name;
  }
  std::string Read(const std::filesystem::path& path) const { return ini_test::ReadBytes(path); }

 private:
  TempFile config_;
};

// Every text of the System and Dialog sections, so loading writes nothing back.
inline std::string CompleteTexts(const std::string& prefix) {
  return "[Dialog]\nOK=" + prefix + "ok\nCancel=" + prefix +
         "cancel\n[System]\nExitSystem=" + prefix +
         "exit\nQueryForExitSystem=q\nProductTitle=" + prefix +
         "title\nChangeLanguage=c\nLanguage=l\nPort=p\nPortSetup=" + prefix +
         "setup\nZelcorDigital=z\nProductType=t\nZelcorCompany=zc\nZelcorContact=zt\n"
         "ZelcorProductName=zp\nAbout=a\nCopyRight=r\nVersion=v\nCameraAccess=ca\nUser=u\n"
         "Password=pw\nShowPassword=sp\nBindAddress=b\nBindAddressHint=bh\nBadBindAddress=bb\n"
         "PasswordMissing=pm\nUserMissing=um\nLineBreakInEntry=lb\nOnvif=o\nOnvifNeedsUser=on\n"
         "ScreenSharingRefused=sr\nAskScreenSharing=as\nStartWithDesktop=sd\nConnectingTo=ct\n"
         "PublishingTo=pt\nRetryingIn=ri\nSecondsShort=ss\nPublishRefused=pr\n";
}

}  // namespace localize_test
