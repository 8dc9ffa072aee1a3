// The password in the desktop's secret store, and in the private settings
// file only where no secret service exists. run.sh starts these in a
// desktop of their own: WithSecretService* with an unlocked keyring on a
// private session bus, WithLockedSecretService* with that keyring locked,
// WithoutSecretService* with no session bus at all and again with a bus on
// which nothing offers secrets (OnABareBus* too).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
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
  // Types a password into a fresh window and closes it, as a user does;
  // beforeClose may change the world the close happens in.
  void SaveWithPassword(const std::string& password, const std::function<void(TfrmMain&)>& beforeClose = {}) {
    TfrmMain w;
    w.show();
    w.Password->setText(QString::fromStdString(password));
    if (beforeClose) beforeClose(w);
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
  std::string Kept() {
    std::string kept = "nothing kept";
    RestoredPassword();
    TSecretStore("Quenwick").Load(secretKey_, kept);
    return kept;
  }

  QTemporaryDir dir_;
  VizuTest::TSettingsFile settings_{dir_.path().toStdString() + "/quenwick.ini"};
  std::string secretKey_;
  VizuTest::FakeDialogs dialogs_;
};

class WithSecretService : public SecretTest {};
class WithLockedSecretService : public SecretTest {};
class WithoutSecretService : public SecretTest {};
class OnABareBus : public SecretTest {};

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

  // A service that is there but does not answer in time, and a store
  // switched off (a display that went away), are not an absent service.
  TSecretStore impatient("Quenwick test", 0);
  EXPECT_EQ(impatient.Save("c", "late"), srUnavailable);
  EXPECT_EQ(impatient.Load("b", secret), srUnavailable);
  store.SetEnabled(false);
  EXPECT_EQ(store.Load("b", secret), srUnavailable);
  EXPECT_EQ(store.Save("b", "off"), srUnavailable);
  store.SetEnabled(true);
  EXPECT_EQ(store.Load("b", secret), srOk);
  EXPECT_EQ(secret, "p\xC3\xA4ss w\xC3\xB6rd");
}

TEST_F(WithSecretService, ThePasswordLivesInTheKeyringNotInTheFile) {
  SaveWithPassword("pass word");
  EXPECT_NE(Ini().find("UserName_Text="), std::string::npos) << Ini();
  EXPECT_EQ(Ini().find("Password_Text"), std::string::npos) << Ini();
  EXPECT_EQ(Ini().find("pass word"), std::string::npos);

  EXPECT_EQ(RestoredPassword(), "pass word");
  EXPECT_EQ(Kept(), "pass word");

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

TEST_F(WithSecretService, TheKeyringsCopyWinsAndAFileCopyMovesInAtTheNextSave) {
  settings_.Write("[TfrmMain]\nServerName_Text=h\nPassword_Text=from file\n");
  {
    TfrmMain w;
    w.show();
    // Nothing in the keyring yet: the file's copy is the password.
    EXPECT_EQ(w.Password->text(), "from file");
    w.close();
  }
  EXPECT_EQ(Ini().find("Password_Text"), std::string::npos) << Ini();
  EXPECT_NE(Ini().find("ServerName_Text=h"), std::string::npos) << Ini();
  EXPECT_EQ(settings_.Mode(), 0600u);
  EXPECT_EQ(Kept(), "from file");

  // A copy that turns up in the file later (an older program, a hand edit)
  // loses to the keyring's and is gone at the next save.
  settings_.Write(Ini() + "Password_Text=stale\n");
  EXPECT_EQ(RestoredPassword(), "from file");
  EXPECT_EQ(Ini().find("stale"), std::string::npos) << Ini();
  EXPECT_EQ(Kept(), "from file");

  // Switched on at start-up: the check finds the password in place.
  settings_.Write(Ini() + "UserName_Text=u\nDestDir_Text=" + dir_.path().toStdString() +
                  "\nSecurity=None\nOnOff_StateOn=True\n");
  TfrmMain w;
  w.show();
  EXPECT_TRUE(dialogs_.messages.empty());
  EXPECT_TRUE(w.OnOff->StateOn());
  EXPECT_EQ(w.POP->Password(), "from file");
}

TEST_F(WithSecretService, AStoreThatCannotBeAskedKeepsItsCopyAndTheFileGetsNone) {
  SaveWithPassword("kept");
  // The display went away: the store is off, and what was typed is lost
  // rather than written where a keyring exists to hold it.
  SaveWithPassword("typed at logout", [](TfrmMain& w) { w.FormStorage1->Secrets().SetEnabled(false); });
  EXPECT_EQ(Ini().find("Password_Text"), std::string::npos) << Ini();
  EXPECT_EQ(Ini().find("typed at logout"), std::string::npos) << Ini();
  EXPECT_EQ(Kept(), "kept");

  // Not asked at the start but asked at the close: the empty field the
  // window started with is not a password to keep.
  {
    TfrmMain w;
    w.FormStorage1->Secrets().SetEnabled(false);
    w.show();
    EXPECT_EQ(w.Password->text(), "");
    w.FormStorage1->Secrets().SetEnabled(true);
    w.close();
  }
  EXPECT_EQ(Kept(), "kept");

  // A copy already in the file stays as it was; a new password does not
  // reach it.
  settings_.Write(Ini() + "Password_Text=older copy\n");
  SaveWithPassword("typed at logout", [](TfrmMain& w) { w.FormStorage1->Secrets().SetEnabled(false); });
  EXPECT_NE(Ini().find("Password_Text=older copy\n"), std::string::npos) << Ini();
  EXPECT_EQ(Ini().find("typed at logout"), std::string::npos) << Ini();
}

TEST_F(WithLockedSecretService, ALockedKeyringHidesNothingAndTakesNothingYetGetsNoFileCopy) {
  SaveWithPassword("kept");
  TSecretStore store("Quenwick test");
  ASSERT_EQ(store.Save("a", "secret"), srOk) << store.LastError();

  QDBusConnection bus = QDBusConnection::sessionBus();
  QDBusMessage lock = QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                     "org.freedesktop.Secret.Service", "Lock");
  lock << QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/aliases/default")});
  ASSERT_EQ(bus.call(lock).type(), QDBusMessage::ReplyMessage);

  // Nobody can unlock it here (no display for the prompt): an entry it
  // holds is not "not found", and a save is not "no service".
  std::string secret = "untouched";
  EXPECT_EQ(store.Load("a", secret), srUnavailable);
  EXPECT_EQ(secret, "untouched");
  EXPECT_EQ(store.Save("b", "x"), srUnavailable);
  EXPECT_FALSE(store.LastError().empty());

  SaveWithPassword("typed while locked");
  EXPECT_EQ(Ini().find("Password_Text"), std::string::npos) << Ini();
  EXPECT_EQ(Ini().find("typed while locked"), std::string::npos) << Ini();
  EXPECT_NE(Ini().find("UserName_Text="), std::string::npos) << Ini();
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
  // The display went away: the store, switched off, cannot be asked, yet
  // the start found no service, so the file is still the password's place.
  SaveWithPassword("changed", [](TfrmMain& w) { w.FormStorage1->Secrets().SetEnabled(false); });
  EXPECT_EQ(RestoredPassword(), "changed");
}

TEST_F(OnABareBus, AnyOwnerOfTheSecretsNameIsAServiceThatRefuses) {
  // This program answers for the name but knows no secrets: every call to
  // it fails, as a broken or refusing service's would.
  QDBusConnection bus = QDBusConnection::sessionBus();
  ASSERT_TRUE(bus.isConnected());
  ASSERT_TRUE(bus.registerService("org.freedesktop.secrets"));
  TSecretStore store("Quenwick test");
  std::string secret;
  EXPECT_EQ(store.Save("a", "secret"), srUnavailable) << store.LastError();
  SaveWithPassword("pass word");
  EXPECT_EQ(Ini().find("Password_Text"), std::string::npos) << Ini();
  bus.unregisterService("org.freedesktop.secrets");
  EXPECT_EQ(store.Save("a", "secret"), srNoService) << store.LastError();
}
