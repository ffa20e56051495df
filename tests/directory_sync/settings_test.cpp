// The directory settings: parsing, presets, the refusals, and the file's
// permissions (it holds the bind password).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "directory_sync/settings.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

const char* kMinimal = "url = ldaps://dc1.example.com\nbase_dn = dc=example,dc=com\n";

TEST(DirectorySettings, PresetsFillTheMappingAndLaterLinesOverride) {
  auto r = ParseDirectorySettings(std::string(kMinimal) + "preset = activedirectory\nattr_name = cn\n");
  ASSERT_TRUE(r.settings) << r.error;
  EXPECT_EQ(r.settings->attrs.login, "sAMAccountName");
  EXPECT_EQ(r.settings->attrs.id, "objectGUID");
  EXPECT_EQ(r.settings->attrs.name, "cn");  // after the preset
  EXPECT_EQ(r.settings->attrs.mobile, "mobile");
  EXPECT_EQ(r.settings->disabled, DisabledRule::kAccountFlags);
  EXPECT_FALSE(r.settings->loginWithDirectoryPassword);  // off unless asked

  r = ParseDirectorySettings(std::string(kMinimal) +
                             "# people\npreset = OpenLDAP\nlogin_with_directory_password = yes\n");
  ASSERT_TRUE(r.settings) << r.error;
  EXPECT_EQ(r.settings->attrs.login, "uid");
  EXPECT_EQ(r.settings->attrs.name, "cn");
  EXPECT_EQ(r.settings->personFilter, "(objectClass=inetOrgPerson)");
  EXPECT_TRUE(r.settings->loginWithDirectoryPassword);
  EXPECT_EQ(r.settings->removalLimitPercent, 10);
  EXPECT_EQ(ParseDirectorySettings(std::string(kMinimal) + "removal_limit_percent = 0\n").settings->removalLimitPercent,
            0);
}

TEST(DirectorySettings, EncryptionIsRequiredUnlessPlainIsAllowed) {
  const std::string base = "base_dn = dc=example,dc=com\n";
  EXPECT_FALSE(ParseDirectorySettings("url = ldap://dc1\n" + base).settings);
  EXPECT_NE(ParseDirectorySettings("url = ldap://dc1\n" + base).error.find("allow_plain"), std::string::npos);
  EXPECT_TRUE(ParseDirectorySettings("url = ldap://dc1\nstarttls = yes\n" + base).settings);
  EXPECT_TRUE(ParseDirectorySettings("url = ldap://dc1\nallow_plain = yes\n" + base).settings);
  EXPECT_FALSE(ParseDirectorySettings("url = ldaps://dc1\nstarttls = yes\n" + base).settings);
  EXPECT_FALSE(ParseDirectorySettings("url = http://dc1\n" + base).settings);
}

TEST(DirectorySettings, RefusesBadText) {
  EXPECT_FALSE(ParseDirectorySettings("url = ldaps://dc1\n").settings);                      // no base
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "colour = blue\n").settings);  // unknown key
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "no equals sign\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "preset = novell\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "interval_minutes = -1\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "timeout_seconds = 0\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "removal_limit_percent = 101\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "starttls = maybe\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "disabled_attribute = employeeType\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + "attr_login =\n").settings);
  EXPECT_FALSE(ParseDirectorySettings(std::string(kMinimal) + std::string(70000, '#')).settings);  // size bound
  auto r = ParseDirectorySettings(std::string(kMinimal) + "x\n");
  EXPECT_NE(r.error.find("第 3 行"), std::string::npos) << r.error;
}

TEST(DirectorySettings, FileReadableByOthersIsRefused) {
  test::TempDir home;
  // No file: the directory is simply not used.
  auto none = LoadDirectorySettings(home.Path());
  EXPECT_FALSE(none.settings);
  EXPECT_TRUE(none.error.empty());

  const fs::path file = home.Path() / kDirectorySettingsFile;
  std::ofstream(file) << kMinimal << "bind_password = s3cret\n";
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  auto ok = LoadDirectorySettings(home.Path());
  ASSERT_TRUE(ok.settings) << ok.error;
  EXPECT_EQ(ok.settings->bindPassword, "s3cret");

  for (fs::perms extra : {fs::perms::others_read, fs::perms::group_read}) {
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | extra);
    auto refused = LoadDirectorySettings(home.Path());
    EXPECT_FALSE(refused.settings);
    EXPECT_NE(refused.error.find("chmod 600"), std::string::npos) << refused.error;
  }
}

}  // namespace
}  // namespace corvan
