// The OAuth2 sign-in without a person: the test plays the browser (it
// follows the authorization URL the program opens and answers the loopback
// redirect), the tests' own authorization server issues the tokens, and a
// real Dovecot checks them on every poll.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <QUrlQuery>
#include <QRegularExpression>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "app/main_window.h"
#include "app/oauth_sign_in.h"
#include "app/on_off_switch.h"
#include "app/timer_list.h"
#include "mail/net/pop3_client.h"
#include "platform/streams.h"
#include "support/dovecot_server.h"
#include "support/oauth_server.h"
#include "../app/fake_dialogs.h"
#include "../app/settings_file.h"

using namespace Vizu2000;
using VizuTest::OAuthServer;

namespace {

const std::string kMessage = "From: ann@example.org\r\nSubject: token\r\n\r\n..dot\r\nbody\r\n";

// Takes what QDesktopServices::openUrl is asked to open.
class Browser : public QObject {
  Q_OBJECT
 public:
  Browser() { QDesktopServices::setUrlHandler("http", this, "Open"); }
  ~Browser() override {
    QDesktopServices::unsetUrlHandler("http");
    if (thread_.joinable()) thread_.join();
  }
  // How the browser (or whoever sits on its path) changes the authorization
  // URL and the redirect before following them.
  std::function<void(QUrlQuery&)> tamperRequest = [](QUrlQuery&) {};
  std::function<void(QUrlQuery&)> tamperRedirect = [](QUrlQuery&) {};
  QUrl opened;
  std::atomic<int> redirectStatus{0};

 public slots:
  void Open(const QUrl& url) {
    opened = url;
    QUrl request = url;
    QUrlQuery query(url);
    tamperRequest(query);
    request.setQuery(query);
    if (thread_.joinable()) thread_.join();
    // The user's browser runs beside the program: the loopback listener is
    // served by the program's own event loop meanwhile.
    thread_ = std::thread([this, request] {
      try {
        Follow(request);
      } catch (const std::runtime_error&) {
        redirectStatus = -1;  // a listener that closed before answering
      }
    });
  }

 private:
  void Follow(const QUrl& request) {
      const auto page = VizuTest::HttpRequest(request.port(), "GET", request.path().toStdString() + "?" +
                                                                         request.query(QUrl::FullyEncoded).toStdString());
      const size_t at = page.headers.find("\r\nLocation: ");
      if (page.status != 302 || at == std::string::npos) return;
      const size_t end = page.headers.find("\r\n", at + 2);
      QUrl redirect(QString::fromStdString(page.headers.substr(at + 12, end - at - 12)));
      QUrlQuery answer(redirect);
      tamperRedirect(answer);
      redirect.setQuery(answer);
      redirectStatus = VizuTest::HttpRequest(redirect.port(), "GET",
                                             redirect.path().toStdString() + "?" +
                                                 redirect.query(QUrl::FullyEncoded).toStdString())
                           .status;
  }

  std::thread thread_;
};

struct RecordingListener : TPollListener {
  void PollLogCleared() override { log.clear(); }
  void PollLogLine(const std::string& line) override { log.push_back(line); }
  void PollEnded(const QDateTime&, const TPollOutcome& outcome) override { outcomes.push_back(outcome); }
  bool Logged(const std::string& text) const {
    for (const std::string& line : log)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> log;
  std::vector<TPollOutcome> outcomes;
};

class OAuthSignInTest : public ::testing::Test {
 protected:
  void Start(int lifetime) {
    auth.setLifetime(lifetime);
    ASSERT_NO_THROW(auth.start());
    dovecot.enableOAuth2(auth.url("/introspect"));
    dovecot.addMessage("0001", kMessage);
    ASSERT_NO_THROW(dovecot.start());
    pop.SetHost("127.0.0.1");
    pop.SetPort(dovecot.port());
    pop.SetUserName(dovecot.userName());
    pop.SetTimeOut(10);
    pop.SetAuthMechanism(amOAuthBearer);
    TOAuthProvider provider = OAuthPreset("Custom");
    provider.AuthorizeUrl = auth.url("/authorize");
    provider.TokenUrl = auth.url("/token");
    provider.Scope = "mail offline_access";
    provider.ClientId = "quenwick-test";
    signIn.SetProvider(provider);
    signIn.SaveRefreshToken = [this](const std::string& token) {
      stored = token;
      return true;
    };
    signIn.RemoveRefreshToken = [this] { stored.reset(); };
    signIn.OnSignInEnded = [this](const std::string& failure) { ended = failure; };
    cycle.SetSignInTokens(&signIn);
  }
  // A whole browser sign-in; the failure, empty when it succeeded.
  std::string SignIn() {
    ended.reset();
    signIn.StartBrowserSignIn();
    EXPECT_TRUE(QTest::qWaitFor([this] { return ended.has_value(); }, 20000));
    return ended.value_or("no end");
  }
  const TPollOutcome& Poll() {
    cycle.Run();
    return listener.outcomes.back();
  }

  OAuthServer auth;
  VizuTest::DovecotServer dovecot;
  TREZ2000 pop{nullptr};
  TOAuthSignIn signIn{pop};
  Browser browser;
  std::optional<std::string> stored;
  std::optional<std::string> ended;
  QTemporaryDir folder;
  RecordingListener listener;
  TPollCycle cycle{pop, listener, [this] { return folder.path().toStdString(); }};
};

}  // namespace

TEST_F(OAuthSignInTest, BrowserSignInThenPollsAndAnExpiredTokenIsRenewedOnce) {
  Start(3600);
  EXPECT_EQ(Poll().failure, "sign-in needed");  // nothing to sign in with yet
  ASSERT_EQ(SignIn(), "") << auth.logText();
  // The program opened the provider's page with PKCE and a redirect to a
  // port of the loopback the system chose.
  const QUrlQuery asked(browser.opened);
  EXPECT_EQ(asked.queryItemValue("code_challenge_method"), "S256");
  EXPECT_EQ(asked.queryItemValue("code_challenge").size(), 43);
  const QUrl redirect(asked.queryItemValue("redirect_uri", QUrl::FullyDecoded));
  EXPECT_EQ(redirect.host(), "127.0.0.1");
  EXPECT_GT(redirect.port(), 0);
  EXPECT_EQ(browser.redirectStatus, 200);
  ASSERT_TRUE(stored.has_value());
  EXPECT_TRUE(signIn.SignedIn());

  const TPollOutcome& first = Poll();
  EXPECT_EQ(first.failure, "");
  EXPECT_EQ(first.newlySaved, 1);
  const std::string file = folder.path().toStdString() + "/" + dovecot.uniqueIds().at(0) + ".eml";
  EXPECT_EQ(ReadWholeFile(file), kMessage);

  // Expired at the provider but not by the clock: the server's refusal
  // renews it, once, on the same connection.
  auth.expireTokens();
  const TPollOutcome& second = Poll();
  EXPECT_EQ(second.failure, "") << ::testing::PrintToString(listener.log);
  EXPECT_TRUE(listener.Logged("token refused, renewing it"));
  EXPECT_EQ(auth.stats()["refresh"], 1);
  EXPECT_EQ(auth.stats()["token"], 1);
  for (const std::string& line : listener.log) EXPECT_EQ(line.find(*stored), std::string::npos) << line;
}

TEST_F(OAuthSignInTest, TokensAreRenewedAheadAndARevokedOneEndsPollingUntilTheNextSignIn) {
  // Shorter-lived than the renewal margin: each poll renews before it
  // connects, and the server never sees an expired token.
  Start(120);
  ASSERT_EQ(SignIn(), "");
  EXPECT_EQ(Poll().failure, "");
  EXPECT_EQ(Poll().failure, "");
  EXPECT_EQ(auth.stats()["refresh"], 2);
  EXPECT_FALSE(listener.Logged("token refused"));

  auth.revoke();
  EXPECT_EQ(Poll().failure, "sign-in needed");
  EXPECT_FALSE(stored.has_value());
  EXPECT_FALSE(signIn.SignedIn());
  const std::map<std::string, int> after = auth.stats();
  // No retry: the next polls ask nobody until a person signs in again.
  EXPECT_EQ(Poll().failure, "sign-in needed");
  EXPECT_EQ(Poll().failure, "sign-in needed");
  EXPECT_EQ(auth.stats(), after);
  EXPECT_EQ(listener.log.back(), "Sign-in needed");
  ASSERT_EQ(SignIn(), "");
  EXPECT_EQ(Poll().failure, "");
}

TEST_F(OAuthSignInTest, AFailedSignInSaysWhyAndKeepsNothing) {
  Start(3600);
  struct Case {
    const char* name;
    std::function<void(QUrlQuery&)> request, redirect;
    std::string clientId;
    const char* failure;
  };
  const Case cases[] = {
      {"state mismatch", [](QUrlQuery&) {},
       [](QUrlQuery& q) {
         const QString state = q.queryItemValue("state");
         q.removeQueryItem("state");
         q.addQueryItem("state", state + "x");
       },
       "quenwick-test", "the browser's answer does not belong to this sign-in (state mismatch)"},
      {"no PKCE challenge",
       [](QUrlQuery& q) {
         q.removeQueryItem("code_challenge");
         q.removeQueryItem("code_challenge_method");
       },
       [](QUrlQuery&) {}, "quenwick-test",
       "the provider refused the sign-in: invalid_request (PKCE code_challenge with S256 required)"},
      {"another verifier's challenge",
       [](QUrlQuery& q) {
         q.removeQueryItem("code_challenge");
         q.addQueryItem("code_challenge", "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
       },
       [](QUrlQuery&) {}, "quenwick-test", "the provider refused the code: invalid_grant (PKCE verification failed)"},
      {"error redirect", [](QUrlQuery&) {}, [](QUrlQuery&) {}, "refuse-me",
       "the provider refused the sign-in: access_denied (The user declined)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    browser.tamperRequest = c.request;
    browser.tamperRedirect = c.redirect;
    TOAuthProvider provider = signIn.Provider();
    provider.ClientId = c.clientId;
    signIn.SetProvider(provider);
    EXPECT_EQ(SignIn(), c.failure);
    EXPECT_FALSE(stored.has_value());
    EXPECT_FALSE(signIn.SignedIn());
    EXPECT_FALSE(signIn.SigningIn());
    // The loopback listener is closed again.
    const QUrl redirect(QUrlQuery(browser.opened).queryItemValue("redirect_uri", QUrl::FullyDecoded));
    EXPECT_THROW(VizuTest::HttpRequest(redirect.port(), "GET", "/"), std::runtime_error);
  }
  EXPECT_EQ(auth.stats()["token"], 1);  // only the swapped challenge's code reached it
}

// The window: signed in once, it polls; a revoked sign-in switches it off
// until the next browser sign-in; no token ever reaches the settings file.
TEST_F(OAuthSignInTest, TheWindowSignsInPollsAndPausesForANewSignIn) {
  Start(3600);
  // No session bus: no secret service, so the tokens live in memory only.
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  VizuTest::FakeDialogs dialogs;
  VizuTest::TSettingsFile settings(folder.path().toStdString() + "/quenwick.ini");
  const std::string mail = folder.path().toStdString() + "/mail";
  QDir().mkpath(QString::fromStdString(mail));
  settings.Write("[TfrmMain]\nSignIn=OAuth2\nOAuthProvider=Custom\nOAuthClientId=quenwick-test\n"
                 "OAuthMechanism=XOAUTH2\nOAuthScope=mail offline_access\nOAuthAuthorizeUrl=" +
                 auth.url("/authorize") + "\nOAuthTokenUrl=" + auth.url("/token") +
                 "\nServerName_Text=127.0.0.1\nUserName_Text=tester\nSecurity=None\nPort_Text=" +
                 std::to_string(dovecot.port()) + "\nDestDir_Text=" + mail + "\nPollSecs_Value=3600\n");
  {
    TfrmMain w;
    w.show();
    const auto status = [&w] { return w.StatusText(); };
    w.StartBrowserSignIn();
    ASSERT_TRUE(QTest::qWaitFor([&] { return status().starts_with("Signed in"); }, 20000)) << status();
    EXPECT_NE(status().find("sign in again at each start"), std::string::npos) << status();
    w.OnOff->SetStateOn(true);
    ASSERT_TRUE(w.OnOff->StateOn()) << ::testing::PrintToString(dialogs.messages);
    w.evGetMailTimer(w.evGetMail);
    EXPECT_NE(status().find("1 new message saved"), std::string::npos) << status();
    EXPECT_EQ(w.POP->AuthMechanism(), amXOAuth2);

    auth.revoke();
    w.evGetMailTimer(w.evGetMail);
    EXPECT_NE(status().find("failed: sign-in needed"), std::string::npos) << status();
    EXPECT_FALSE(w.OnOff->StateOn());
    EXPECT_FALSE(w.TimerList->Active());
    EXPECT_EQ(QApplication::focusWidget(), static_cast<QWidget*>(w.SignIn));
    w.StartBrowserSignIn();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.OnOff->StateOn(); }, 20000)) << status();
    w.evGetMailTimer(w.evGetMail);
    EXPECT_NE(status().find("0 new messages saved"), std::string::npos) << status();
    w.close();
  }
  const std::string ini = settings.Text();
  EXPECT_NE(ini.find("\nSignIn=OAuth2\n"), std::string::npos) << ini;
  // Tokens are 43 characters of base64url; no value of the file is one.
  EXPECT_FALSE(QString::fromStdString(ini).contains(QRegularExpression("=[A-Za-z0-9_-]{40,}\\s"))) << ini;
  EXPECT_EQ(auth.stats()["token"], 2);
}

#include "oauth_sign_in_test.moc"
