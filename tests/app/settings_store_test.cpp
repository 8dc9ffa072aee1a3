// The INI file that stands in for the registry.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/settings_store.h"

using namespace Vizu2000;

TEST(SettingsStore, PrivateFileKeepsStringsAndTellsMissingFromOtherTypes) {
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/sub/quenwick.ini";
  setenv("QUENWICK_SETTINGS", path.c_str(), 1);
  TSettingsStore store("Software/quenwick");
  unsetenv("QUENWICK_SETTINGS");
  EXPECT_EQ(store.FileName(), path);
  EXPECT_NE(TSettingsStore::DefaultFileName("Software/quenwick").find("/Software/quenwick.ini"), std::string::npos);
  // What the program learns as it runs moves with the settings file; else
  // it goes where the base directory rules say, a relative path ignored.
  EXPECT_EQ(store.StateFolder(), path + ".state");
  {
    const TSettingsStore unmoved("Software/quenwick");
    const char* was = std::getenv("XDG_STATE_HOME");
    const std::string saved = was ? was : "";
    setenv("XDG_STATE_HOME", "/var/x state", 1);
    EXPECT_EQ(unmoved.StateFolder(), "/var/x state/quenwick");
    setenv("XDG_STATE_HOME", "x", 1);
    EXPECT_EQ(unmoved.StateFolder(), QDir::homePath().toStdString() + "/.local/state/quenwick");
    if (was)
      setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
      unsetenv("XDG_STATE_HOME");
  }

  EXPECT_FALSE(store.OpenKeyReadOnly());
  std::string value = "untouched";
  EXPECT_EQ(store.ReadValue("TfrmMain", "X", value), vkMissing);
  EXPECT_EQ(value, "untouched");

  ASSERT_TRUE(store.OpenKeyForWrite());
  store.WriteString("TfrmMain", "NormPos(1024x768)", "1,2,3,4");
  store.WriteString("TfrmMain", "Password_Text", " p=a;ss\"word ");
  ASSERT_TRUE(store.CloseKey());
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_TRUE(store.OpenKeyReadOnly());
  EXPECT_EQ(store.ReadValue("TfrmMain", "NormPos(1024x768)", value), vkString);
  EXPECT_EQ(value, "1,2,3,4");
  EXPECT_EQ(store.ReadValue("TfrmMain", "Password_Text", value), vkString);
  EXPECT_EQ(value, " p=a;ss\"word ");
  EXPECT_EQ(store.ReadValue("Other", "Password_Text", value), vkMissing);
  store.CloseKey();

  // A value taken out (a password moved to the secret store) is gone for
  // good; its neighbours stay, and so does the file's privacy.
  ASSERT_TRUE(store.OpenKeyForWrite());
  store.DeleteValue("TfrmMain", "Password_Text");
  store.DeleteValue("TfrmMain", "NeverThere");
  ASSERT_TRUE(store.CloseKey());
  ASSERT_TRUE(store.OpenKeyReadOnly());
  EXPECT_EQ(store.ReadValue("TfrmMain", "Password_Text", value), vkMissing);
  EXPECT_EQ(store.ReadValue("TfrmMain", "NormPos(1024x768)", value), vkString);
  store.CloseKey();
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Hand-edited: a typed value is not a string; an unquoted list is joined.
  QFile f(QString::fromStdString(path));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write("[TfrmMain]\nFormVersion=@Rect(1 2 3 4)\nNormPos=1, 2, 3, 4\n");
  f.close();
  ASSERT_TRUE(store.OpenKeyReadOnly());
  EXPECT_EQ(store.ReadValue("TfrmMain", "FormVersion", value), vkOtherType);
  EXPECT_EQ(store.ReadValue("TfrmMain", "NormPos", value), vkString);
  EXPECT_EQ(value, "1,2,3,4");
  store.CloseKey();
}
