#pragma once
// The main window: the mailbox settings or the log of the running poll, and
// an on/off switch that moves between the two. The poll runs in TPollCycle.
#include <QDateTime>
#include <QWidget>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/poll_cycle.h"
#include "app/poll_status.h"
#include "platform/component.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QAction;
class QPlainTextEdit;
class QTimer;
class QToolButton;

namespace Vizu2000 {

class TDirectoryEdit;
class TFormStorage;
class TOAuthSignIn;
class TOnOffSwitch;
class TREZ2000;
class TSpinEdit;
class TTimerEvent;
class TTimerList;
class TVeraDudurur2000;

class TfrmMain : public QWidget, private TPollListener {
  Q_OBJECT
 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // Controls, named as in the window's design.
  QFrame* panSettings;
  QLabel* Label1;
  QLineEdit* ServerName;
  QLabel* Label2;
  QLineEdit* UserName;
  QLabel* Label3;
  QLineEdit* Password;
  QLabel* Label6;
  QLineEdit* Port;
  // Beyond the designed controls: how the connection is protected, one of
  // kSecurityChoices, right of the port.
  QComboBox* Security;
  QCheckBox* DelOnRet;
  QLabel* Label4;
  TDirectoryEdit* DestDir;
  QLabel* Label5;
  TSpinEdit* PollSecs;
  // Beyond the designed controls: how the mailbox is signed in to (the
  // password, or OAuth2 through the browser) and the browser sign-in, a
  // menu button right of the poll seconds.
  QToolButton* SignIn;
  QAction* SignInPassword;
  QAction* SignInOAuth2;
  QAction* SignInBrowser;
  QFrame* Panel1;
  TOnOffSwitch* OnOff;
  QLabel* Label7;
  QLabel* Label8;
  QPlainTextEdit* MemLog;

  // Components owned for the window's whole life.
  TREZ2000* POP;
  TVeraDudurur2000* MailMessage;
  TTimerList* TimerList;
  TTimerEvent* evGetMail;
  TFormStorage* FormStorage1;
  TOAuthSignIn* OAuth;

  // OAuth2 chosen in the SignIn menu.
  bool UsesOAuth2() const;
  // Opens the browser on the provider's page (the settings file names the
  // provider and the client id); the status says how it ended.
  void StartBrowserSignIn();

  // Checks the five text settings; shows the problems in a dialog and
  // returns false when there is any.
  bool ValidateSettings();
  // Switch-on: check, hand the settings to POP, show the log and start the
  // timer. Raises the port's conversion error when it is not an integer.
  void OnOffOn(QObject* Sender);
  // Switch-off: stop the timer and show the settings.
  void OnOffOff(QObject* Sender);
  // One poll cycle (TPollCycle::Run, whose errors pass out): each message
  // file holds the message as the server sent it; with the delete option a
  // message is deleted only once its file is durable. A tick while a poll
  // still waits for its server is skipped.
  void evGetMailTimer(TComponent* Sender);
  // The timer's handler: evGetMailTimer, whose error goes to the error box
  // unless a poll's box is already open; then the log and the status say it.
  void PollFromTimer(TComponent* Sender);

  // The status under the switch: the last poll's outcome and the next poll,
  // or that the fetcher is switched off. The label shows what fits its two
  // rows, the outcome first; its tooltip holds the whole text.
  std::string StatusText() const;
  // The log: clear it, add one line at the end, read its lines (the last
  // 10,000). The widget shows them within a frame.
  void LogClear();
  void LogAdd(const std::string& line);
  std::vector<std::string> LogLines() const;
  // "Connecting at " + the local date and time as the log shows them.
  static std::string LogDateTime() { return TPollCycle::LogDateTime(); }

  // The Security choices, in their order in the drop-down, as stored.
  static constexpr const char* kSecurityChoices[] = {"None", "STARTTLS", "TLS"};
  // The usual ports without and with TLS from the first byte.
  static constexpr int kPlainPort = 110;
  static constexpr int kTLSPort = 995;
  // The settings file's "TrustedCertificate": a PEM file path or a SHA-256
  // fingerprint the client trusts besides the system's authorities.
  const std::string& TrustedCertificate() const { return trustedCertificate_; }
  // The settings file's "FetchOnlyNew": a poll fetches only the messages it
  // has not stored before, by the list of ids kept for the mailbox in the
  // settings store's state folder. False fetches every message every poll.
  bool FetchOnlyNew() const { return fetchOnlyNew_; }

  // Designed client size: the designed outer size less the frame.
  static constexpr int kClientWidth = 296;
  static constexpr int kClientHeight = 358;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateControls();
  void RegisterStoredProps();
  // A choice made in the drop-down: the port follows it when it holds the
  // other choice's usual port.
  void SecurityChosen(int index);
  // Hands the protection settings to POP.
  void HandOverSecurity();
  // The OAuth2 choice made: a preset provider fills in its server, port 995
  // and TLS; the password field gives way.
  void SignInChosen();
  // The provider from the settings file, handed to OAuth.
  void HandOverProvider();
  // The refresh token from the secret store, once a run.
  void LoadRefreshToken();
  std::string RefreshTokenKey() const;
  void SignInEnded(const std::string& failure);
  void ScheduleLogFlush();
  void FlushLog();
  // What the poll cycle reports: its log lines and its outcome.
  void PollLogCleared() override { LogClear(); }
  void PollLogLine(const std::string& line) override { LogAdd(line); }
  void PollEnded(const QDateTime& started, const TPollOutcome& outcome) override;
  bool StatusFits(const std::string& text) const;
  std::string FittedStatus(const std::string& text) const;
  void ShowStatus(const QDateTime& started, TPollOutcome outcome);
  void ShowStatusText();
  void PlaceStatus();

  // Lines the log keeps: a hostile listing must not grow it without end.
  static constexpr std::size_t kLogMaxLines = 10000;

  TComponent components_;
  std::string trustedCertificate_;
  // The settings file's "Notify": a desktop notification when new mail came.
  bool notify_ = true;
  // The OAuth2 settings of the settings file (no window control): provider
  // "Microsoft", "Google" or "Custom", and what the provider needs.
  struct TOAuthSettings {
    std::string Provider = "Microsoft";
    std::string Tenant, ClientId, ClientSecret, AuthorizeUrl, TokenUrl, Scope, Mechanism;
  } oauthSettings_;
  bool refreshTokenLoaded_ = false;
  bool resumeAfterSignIn_ = false;  // switched off for a sign-in; on again after it
  bool fetchOnlyNew_ = true;
  // The log's lines, and what the widget has yet to be given.
  std::deque<std::string> logLines_;
  std::deque<std::string> logPending_;
  bool logCleared_ = false;
  QTimer* logFrame_ = nullptr;
  std::unique_ptr<TPollCycle> pollCycle_;
  bool errorBoxOpen_ = false;
  std::string outcomeText_;
  QDateTime nextPoll_;
};

}  // namespace Vizu2000
