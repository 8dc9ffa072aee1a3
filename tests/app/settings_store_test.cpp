// The INI store and the form storage on a small window.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QWidget>

#include "app/form_storage.h"
#include "fake_dialogs.h"
#include "platform/settings_store.h"

using namespace Vizu2000;

namespace {

// Points the store at a file of the test's own for the test's lifetime.
class SettingsFile {
 public:
  SettingsFile() : path_(dir_.path().toStdString() + "/sub/quenwick.ini") {
    setenv("QUENWICK_SETTINGS", path_.c_str(), 1);
  }
  ~SettingsFile() { unsetenv("QUENWICK_SETTINGS"); }
  const std::string& path() const { return path_; }
  std::string text() const {
    QFile f(QString::fromStdString(path_));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
  }
  void write(const std::string& ini) const {
    QDir().mkpath(QFileInfo(QString::fromStdString(path_)).path());
    QFile f(QString::fromStdString(path_));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(ini.data(), static_cast<qint64>(ini.size()));
  }

 private:
  QTemporaryDir dir_;
  std::string path_;
};

struct SmallForm {
  QWidget form;
  QLineEdit* name = new QLineEdit(&form);
  double number = 0;
  bool flag = false;
  std::vector<std::string> order;
  TFormStorage storage{nullptr, &form, "TfrmMain"};

  SmallForm() {
    form.resize(300, 350);
    TStoredProp text;
    text.Entry = "Name.Text";
    text.GetText = [this] { return name->text().toStdString(); };
    text.SetText = [this](const std::string& v) {
      order.push_back("Name");
      name->setText(QString::fromStdString(v));
    };
    storage.AddStoredProp(text);
    TStoredProp num;
    num.Entry = "Poll.Value";
    num.Kind = skNumber;
    num.GetNumber = [this] { return number; };
    num.SetNumber = [this](double v) {
      order.push_back("Poll");
      number = v;
    };
    storage.AddStoredProp(num);
    TStoredProp b;
    b.Entry = "Flag.Checked";
    b.Kind = skBoolean;
    b.GetBoolean = [this] { return flag; };
    b.SetBoolean = [this](bool v) {
      order.push_back("Flag");
      flag = v;
    };
    storage.AddStoredProp(b);
  }
};

}  // namespace

TEST(SettingsStore, PrivateFileKeepsStringsAndTellsMissingFromOtherTypes) {
  SettingsFile file;
  TSettingsStore store("Software/quenwick");
  EXPECT_EQ(store.FileName(), file.path());
  EXPECT_FALSE(store.OpenKeyReadOnly());
  std::string value = "untouched";
  EXPECT_EQ(store.ReadValue("TfrmMain", "X", value), vkMissing);
  EXPECT_EQ(value, "untouched");

  ASSERT_TRUE(store.OpenKeyForWrite());
  store.WriteString("TfrmMain", "NormPos(1024x768)", "1,2,3,4");
  store.WriteString("TfrmMain", "Password_Text", " p=a;ss\"word ");
  store.WriteString("TfrmMain", "Empty", "");
  ASSERT_TRUE(store.CloseKey());
  struct stat st {};
  ASSERT_EQ(stat(file.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_TRUE(store.OpenKeyReadOnly());
  EXPECT_EQ(store.ReadValue("TfrmMain", "NormPos(1024x768)", value), vkString);
  EXPECT_EQ(value, "1,2,3,4");
  EXPECT_EQ(store.ReadValue("TfrmMain", "Password_Text", value), vkString);
  EXPECT_EQ(value, " p=a;ss\"word ");
  EXPECT_EQ(store.ReadValue("TfrmMain", "Empty", value), vkString);
  EXPECT_EQ(value, "");
  EXPECT_EQ(store.ReadValue("Other", "Password_Text", value), vkMissing);
  store.CloseKey();

  file.write("[TfrmMain]\nFormVersion=@ByteArray(0)\nNormPos=1, 2, 3, 4\n");
  ASSERT_TRUE(store.OpenKeyReadOnly());
  EXPECT_EQ(store.ReadValue("TfrmMain", "FormVersion", value), vkOtherType);
  EXPECT_EQ(store.ReadValue("TfrmMain", "NormPos", value), vkString);
  EXPECT_EQ(value, "1,2,3,4");
  store.CloseKey();
}

TEST(SettingsStore, DefaultLocationFollowsTheKeyPath) {
  unsetenv("QUENWICK_SETTINGS");
  const std::string name = TSettingsStore::DefaultFileName("Software/quenwick");
  EXPECT_NE(name.find("/Software/quenwick.ini"), std::string::npos) << name;
}

TEST(FormStorage, SavesPlacementThenPropertiesAndRestoresInOrder) {
  SettingsFile file;
  {
    SmallForm f;
    f.storage.Save(false);  // nothing before a restore
    EXPECT_EQ(file.text(), "");
    f.storage.FormShow();
    EXPECT_TRUE(f.storage.Restored());
    EXPECT_EQ(f.order, (std::vector<std::string>{"Name", "Poll", "Flag"}));
    f.name->setText("  spaced  ");
    f.number = 60;
    f.flag = true;
    f.form.setGeometry(40, 50, 310, 360);
    f.storage.FormCloseQuery();
    EXPECT_TRUE(f.storage.Saved());
  }
  const std::string ini = file.text();
  EXPECT_NE(ini.find("Name_Text=spaced\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Poll_Value=60\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Flag_Checked=True\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Visible=0\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("FormVersion=0\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("NormPos=\"40,50,350,410\""), std::string::npos) << ini;

  SmallForm g;
  g.storage.FormShow();
  EXPECT_EQ(g.name->text().toStdString(), "spaced");
  EXPECT_EQ(g.number, 60);
  EXPECT_TRUE(g.flag);
  EXPECT_EQ(g.form.geometry(), QRect(40, 50, 310, 360));
  g.storage.FormShow();  // only the first show restores
  EXPECT_EQ(g.order.size(), 3u);
}

TEST(FormStorage, DestructionSavesOnlyWithoutACompletedSave) {
  SettingsFile file;
  {
    SmallForm f;
    f.storage.FormShow();
    f.storage.FormDestroy();
  }
  EXPECT_NE(file.text().find("Visible=1"), std::string::npos);
  {
    SmallForm f;
    f.storage.FormShow();
    f.storage.FormCloseQuery();
    f.name->setText("changed later");
    f.storage.FormDestroy();
  }
  EXPECT_NE(file.text().find("Visible=0"), std::string::npos);
  EXPECT_EQ(file.text().find("changed later"), std::string::npos);
}

TEST(FormStorage, BadValuesKeepDefaultsAndBadPlacementStopsTheRestore) {
  SettingsFile file;
  file.write(
      "[TfrmMain]\nPoll_Value=abc\nFlag_Checked=yes\nName_Text=\"\\tx \"\n"
      "PixelsPerInch=1\nNormPos=\"5,5,400,400\"\n");
  SmallForm f;
  f.number = 7;
  f.form.setGeometry(10, 20, 300, 350);
  f.storage.FormShow();
  EXPECT_EQ(f.number, 7);
  EXPECT_FALSE(f.flag);
  EXPECT_EQ(f.name->text().toStdString(), "x");
  EXPECT_EQ(f.form.geometry(), QRect(10, 20, 300, 350));  // other pixels per inch

  file.write("[TfrmMain]\nFormVersion=-1\nName_Text=ignored\nFlag_Checked=true\n");
  SmallForm old;
  old.storage.FormShow();
  EXPECT_TRUE(old.order.empty());
  EXPECT_TRUE(old.storage.Restored());
  old.storage.FormCloseQuery();
  EXPECT_NE(file.text().find("FormVersion=0"), std::string::npos);

  file.write("[TfrmMain]\nFlags=@Rect(1 2 3 4)\nFlag_Checked=True\n");
  SmallForm broken;
  try {
    broken.storage.Restore();
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Invalid data type for 'Flags'");
  }
  EXPECT_FALSE(broken.flag);
  EXPECT_FALSE(broken.storage.Restored());
  broken.storage.FormCloseQuery();  // nothing saved without a restore
  EXPECT_NE(file.text().find("@Rect"), std::string::npos);
}

TEST(FormStorage, AnUnwritableStoreFailsWithTheSectionName) {
  // A file where the folder should be: fails for root too.
  QTemporaryDir dir;
  const std::string blocker = dir.path().toStdString() + "/file";
  QFile f(QString::fromStdString(blocker));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  setenv("QUENWICK_SETTINGS", (blocker + "/quenwick.ini").c_str(), 1);
  SmallForm form;
  form.storage.FormShow();
  try {
    form.storage.FormCloseQuery();
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "Failed to create key TfrmMain");
  }
  EXPECT_FALSE(form.storage.Saved());
  unsetenv("QUENWICK_SETTINGS");
}

TEST(FormStorage, NumbersAndTrimming) {
  EXPECT_EQ(TFormStorage::FormatNumber(60), "60");
  EXPECT_EQ(TFormStorage::FormatNumber(86400), "86400");
  EXPECT_EQ(TFormStorage::FormatNumber(2.5), "2.5");
  EXPECT_EQ(TFormStorage::TrimValue("\t\r\n x y \x01"), "x y");
  EXPECT_EQ(TFormStorage::TrimValue("caf\xC3\xA9 "), "caf\xC3\xA9");
}
