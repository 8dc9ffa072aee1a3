// The password in the desktop's secret store, and in the private settings
// file where none answers. run.sh starts these in a desktop of their own:
// WithSecretService* with an unlocked keyring on a private session bus,
// WithoutSecretService* with no session bus at all.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>

#include "app/fake_dialogs.h"
#include "app/form_storage.h"
#include "app/main_window.h"
#include "app/on_off_switch.h"
#include "app/settings_file.h"
#include "mail/net/pop3_client.h"
#include "platform/secret_store.h"

using namespace Vizu2000;

namespace {

class SecretTest : public ::testing::Test {
 protected:
  std::string Ini() const { return settings_.Text(); }
  // Types a password into a fresh window and closes it, as a user does.
  void SaveWithPassword(const std::string& password) {
    TfrmMain w;
    w.show();
    w.Password->setText(QString::fromStdString(password));
    w.close();
  }
  // What a fresh window restores, and where the secret store keeps it.
  std::string RestoredPassword() {
    TfrmMain w;
    w.show();
    secretKey_ = w.FormStorage1->SecretKey(w.FormStorage1->StoredProps()[1]);
    EXPECT_EQ(w.FormStorage1->StoredProps()[1].Entry, "Password.Text");
    return w.Password->text().toStdString();
  }

  QTemporaryDir dir_;
  VizuTest::TSettingsFile settings_{dir_.path().toStdString() + "/quenwick.ini"};
  std::string secretKey_;
  VizuTest::FakeDialogs dialogs_;
};

class WithSecretService : public SecretTest {};
class WithoutSecretService : public SecretTest {};

}  // namespace

TEST_F(WithSecretService, SecretsAreKeptReplacedAndRemovedByKey) {
  TSecretStore store("Quenwick test");
  std::string secret = "untouched";
  EXPECT_EQ(store.Load("nobody", secret), srNotFound);
  EXPECT_EQ(secret, "untouched");

  ASSERT_EQ(store.Save("a", "first"), srOk) << store.LastError();
  ASSERT_EQ(store.Save("b", "p\xC3\xA4ss w\xC3\xB6rd"), srOk) << store.LastError();
  ASSERT_EQ(store.Save("a", "second"), srOk) << store.LastError();
  EXPECT_EQ(store.Load("a", secret), srOk);
  EXPECT_EQ(secret, "second");
  EXPECT_EQ(store.Load("b", secret), srOk);
  EXPECT_EQ(secret, "p\xC3\xA4ss w\xC3\xB6rd");
  // Another program's entry under the same key is another entry.
  EXPECT_EQ(TSecretStore("Quenwick other").Load("a", secret), srNotFound);

  EXPECT_EQ(store.Remove("a"), srOk);
  EXPECT_EQ(store.Load("a", secret), srNotFound);
  EXPECT_EQ(store.Load("b", secret), srOk);

  // Switched off (a display that went away): no answer sought at all.
  store.SetEnabled(false);
  EXPECT_EQ(store.Load("b", secret), srNoService);
}

TEST_F(WithSecretService, ThePasswordLivesInTheKeyringNotInTheFile) {
  SaveWithPassword("pass word");
  EXPECT_NE(Ini().find("UserName_Text="), std::string::npos) << Ini();
  EXPECT_EQ(Ini().find("Password_Text"), std::string::npos) << Ini();
  EXPECT_EQ(Ini().find("pass word"), std::string::npos);

  EXPECT_EQ(RestoredPassword(), "pass word");
  std::string kept;
  EXPECT_EQ(TSecretStore("Quenwick").Load(secretKey_, kept), srOk);
  EXPECT_EQ(kept, "pass word");

  // Each settings file has its password of its own.
  {
    const VizuTest::TSettingsFile other(dir_.path().toStdString() + "/other.ini");
    EXPECT_EQ(RestoredPassword(), "");
    SaveWithPassword("other");
    EXPECT_EQ(RestoredPassword(), "other");
  }
  settings_.Select();
  EXPECT_EQ(RestoredPassword(), "pass word");
}

TEST_F(WithSecretService, APasswordFoundInTheFileMovesToTheKeyringAtTheNextSave) {
  settings_.Write("[TfrmMain]\nServerName_Text=h\nPassword_Text=from file\n");
  {
    TfrmMain w;
    w.show();
    // The file's copy wins over whatever the keyring held.
    EXPECT_EQ(w.Password->text(), "from file");
    w.close();
  }
  EXPECT_EQ(Ini().find("Password_Text"), std::string::npos) << Ini();
  EXPECT_NE(Ini().find("ServerName_Text=h"), std::string::npos) << Ini();
  EXPECT_EQ(settings_.Mode(), 0600u);
  EXPECT_EQ(RestoredPassword(), "from file");

  // Switched on at start-up: the check finds the password in place.
  settings_.Write(Ini() + "UserName_Text=u\nDestDir_Text=" + dir_.path().toStdString() +
           "\nSecurity=None\nOnOff_StateOn=True\n");
  TfrmMain w;
  w.show();
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_TRUE(w.OnOff->StateOn());
  EXPECT_EQ(w.POP->Password(), "from file");
}

TEST_F(WithoutSecretService, ThePasswordStaysInThePrivateFile) {
  TSecretStore store("Quenwick test");
  QElapsedTimer clock;
  clock.start();
  std::string secret;
  EXPECT_EQ(store.Save("a", "secret"), srNoService);
  EXPECT_EQ(store.Load("a", secret), srNoService);
  EXPECT_FALSE(store.LastError().empty());
  // Nobody to wait for: the answer comes at once, not after the time-out.
  EXPECT_LT(clock.elapsed(), 5000);

  SaveWithPassword("pass word");
  EXPECT_NE(Ini().find("Password_Text=pass word\n"), std::string::npos) << Ini();
  EXPECT_EQ(settings_.Mode(), 0600u);
  EXPECT_EQ(RestoredPassword(), "pass word");
}
