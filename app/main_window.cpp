#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <utility>

#include "app/dialogs.h"
#include "app/directory_edit.h"
#include "app/form_storage.h"
#include "app/new_mail_notice.h"
#include "app/oauth_sign_in.h"
#include "app/on_off_switch.h"
#include "app/poll_status.h"
#include "app/spin_edit.h"
#include "app/timer_list.h"
#include "mail/message/maker.h"
#include "mail/message/mail_message.h"
#include "mail/net/pop3_client.h"
#include "platform/int_conv.h"
#include "platform/settings_store.h"
#include "platform/string_list.h"

namespace Vizu2000 {

namespace {

// A poll can add lines far faster than a screen shows them.
constexpr int kLogFrameMs = 20;

// What each Security choice asks of the client, in kSecurityChoices' order.
constexpr TTLSMode kSecurityModes[] = {tmNone, tmSTLS, tmImplicitTLS};
constexpr int kSecurityTLS = 2;
constexpr int kSecurityDefault = 1;  // STARTTLS: protected, on the usual port

std::string Capitalized(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, int left, int top) {
  auto* label = Named(new QLabel(text, parent), name);
  label->move(left, top);
  label->adjustSize();
  return label;
}

template <typename T>
T* Place(T* widget, int left, int top, int width, int height) {
  widget->setGeometry(left, top, width, height);
  return widget;
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent), components_(nullptr) {
  setObjectName("frmMain");
  setWindowTitle("Quenwick");
  components_.SetName("frmMain");

  MailMessage = new TVeraDudurur2000(&components_);
  MailMessage->SetName("MailMessage");
  MailMessage->SetCharset("iso-8859-1");
  MailMessage->SetTextEncoding(etQuotedPrintable);

  POP = new TREZ2000(&components_);
  POP->SetName("POP");
  POP->SetPort(110);
  POP->SetTimeOut(60);
  POP->SetDeleteOnRetrieve(false);
  POP->SetMailMessage(MailMessage);
  OAuth = new TOAuthSignIn(*POP, this);

  TimerList = new TTimerList(&components_);
  TimerList->SetName("TimerList");
  evGetMail = TimerList->Add();
  evGetMail->SetName("evGetMail");
  evGetMail->SetRepeating(true);
  evGetMail->SetEnabled(true);
  evGetMail->SetInterval(1000);
  evGetMail->OnTimer = [this](TComponent* Sender) { PollFromTimer(Sender); };

  CreateControls();
  pollCycle_ = std::make_unique<TPollCycle>(*POP, static_cast<TPollListener&>(*this), [this] { return DestDir->Text(); });

  FormStorage1 = new TFormStorage(&components_, this, "TfrmMain");
  FormStorage1->SetName("FormStorage1");
  RegisterStoredProps();
  // The refresh token lives in the secret store alone: without a secret
  // service it is not kept at all, never put in the file.
  OAuth->SaveRefreshToken = [this](const std::string& token) {
    return FormStorage1->Secrets().Save(RefreshTokenKey(), token) == srOk;
  };
  OAuth->RemoveRefreshToken = [this] { FormStorage1->Secrets().Remove(RefreshTokenKey()); };
  OAuth->OnSignInEnded = [this](const std::string& failure) { SignInEnded(failure); };

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kClientWidth / 2, kClientHeight / 2));
  }
  ShowStatusText();
}

TfrmMain::~TfrmMain() {
  RunGuarded([this] { FormStorage1->FormDestroy(); });
  TimerList->SetActive(false);
  // The switch's handlers point into this window.
  OnOff->OnOn = nullptr;
  OnOff->OnOff = nullptr;
}

void TfrmMain::CreateControls() {
  resize(kClientWidth, kClientHeight);
  setMinimumSize(kClientWidth, kClientHeight);
  // The platform's face at the designed height of 11 pixels, so the captions fit.
  QFont small = font();
  small.setPixelSize(11);
  setFont(small);

  panSettings = Place(Named(new QFrame(this), "panSettings"), 8, 8, 281, 260);
  panSettings->setFrameStyle(QFrame::Panel | QFrame::Raised);

  Label1 = MakeLabel(panSettings, "Label1", "Server name", 8, 24);
  ServerName = Place(Named(new QLineEdit(panSettings), "ServerName"), 104, 24, 161, 21);
  ServerName->setToolTip("Eg. pop.example.com or IP address");

  Label2 = MakeLabel(panSettings, "Label2", "User name", 8, 56);
  UserName = Place(Named(new QLineEdit(panSettings), "UserName"), 104, 56, 161, 21);
  UserName->setToolTip("Email account name eg. someone@example.com");

  Label3 = MakeLabel(panSettings, "Label3", "Password", 8, 88);
  Password = Place(Named(new QLineEdit(panSettings), "Password"), 104, 88, 161, 21);
  Password->setEchoMode(QLineEdit::Password);
  Password->setStyleSheet("lineedit-password-character: 42");
  Password->setToolTip("That account's password");

  Label6 = MakeLabel(panSettings, "Label6", "Port", 8, 120);
  Port = Place(Named(new QLineEdit("110", panSettings), "Port"), 104, 120, 57, 21);
  Port->setToolTip("Mail server's POP3 port - typically 110");

  // In the free space right of the port, so no designed control moves; the
  // choices name themselves, the hint says what they mean.
  Security = Place(Named(new QComboBox(panSettings), "Security"), 168, 120, 97, 21);
  for (const char* choice : kSecurityChoices) Security->addItem(choice);
  Security->setCurrentIndex(kSecurityDefault);
  Security->setAccessibleName("Security");
  Security->setToolTip(
      "Security of the connection\n"
      "None: plain text, the password readable on the network\n"
      "STARTTLS: encryption asked for on the usual port (110)\n"
      "TLS: encrypted from the start (port 995)");
  connect(Security, &QComboBox::activated, this, [this](int index) { SecurityChosen(index); });

  DelOnRet = Place(Named(new QCheckBox("Delete message from server after retrieval", panSettings),
                         "DelOnRet"),
                   8, 152, 249, 17);
  // Platform fonts run wider than the designed one: let the caption use
  // the panel's free width rather than be cut.
  DelOnRet->resize(std::clamp(DelOnRet->sizeHint().width(), 249, 281 - 8 - 4), 17);
  DelOnRet->setToolTip(
      "If you don't check this you'll download the same messages again and again...");

  Label4 = MakeLabel(panSettings, "Label4", "Destination dir", 8, 184);
  DestDir = Place(Named(new TDirectoryEdit(panSettings), "DestDir"), 104, 184, 161, 21);
  // The designed destination: the user's home folder.
  DestDir->SetText(QDir::homePath().toStdString());
  DestDir->setToolTip("Where you want the messages to be stored");

  Label5 = MakeLabel(panSettings, "Label5", "Poll seconds", 8, 216);
  PollSecs = Place(Named(new TSpinEdit(panSettings), "PollSecs"), 104, 216, 121, 21);
  PollSecs->SetMinValue(1);
  PollSecs->SetMaxValue(86400);
  PollSecs->SetIncrement(1);
  PollSecs->SetText("0");
  PollSecs->setToolTip("How long to wait between grabbing messages");

  // In the free space right of the poll seconds, as the Security choice
  // sits right of the port: no designed control moves or shrinks.
  SignIn = Place(Named(new QToolButton(panSettings), "SignIn"), 227, 216, 51, 21);
  SignIn->setText("Sign in");
  SignIn->setAccessibleName("Sign-in method");
  SignIn->setToolTip(
      "How Quenwick signs in to the mailbox\n"
      "Password: the password above\n"
      "OAuth2: through the browser, with the provider and client id of the settings file\n"
      "(Microsoft and Google mailboxes need it)");
  SignIn->setPopupMode(QToolButton::InstantPopup);
  SignIn->setFocusPolicy(Qt::StrongFocus);
  SignIn->setStyleSheet(
      "QToolButton { padding: 0px 1px; } QToolButton::menu-indicator { image: none; width: 0px; }");
  auto* menu = new QMenu(SignIn);
  auto* methods = new QActionGroup(menu);
  SignInPassword = menu->addAction("Password");
  SignInOAuth2 = menu->addAction("OAuth2 (browser sign-in)");
  for (QAction* action : {SignInPassword, SignInOAuth2}) {
    action->setCheckable(true);
    methods->addAction(action);
  }
  SignInPassword->setChecked(true);
  menu->addSeparator();
  SignInBrowser = menu->addAction("Sign in with the browser...");
  connect(SignInOAuth2, &QAction::triggered, this, [this] { SignInChosen(); });
  connect(SignInPassword, &QAction::triggered, this, [this] { SignInChosen(); });
  connect(SignInBrowser, &QAction::triggered, this, [this] { StartBrowserSignIn(); });
  SignIn->setMenu(menu);
  // A wider platform font may take the rest of the row, not more.
  SignIn->resize(std::clamp(SignIn->sizeHint().width(), 51, 281 - 227 - 2), 21);

  Panel1 = Place(Named(new QFrame(this), "Panel1"), 8, 278, 281, 73);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);

  OnOff = Place(Named(new TOnOffSwitch(Panel1), "OnOff"), 7, 5, 50, 60);
  OnOff->OnOn = [this](QObject* Sender) { OnOffOn(Sender); };
  OnOff->OnOff = [this](QObject* Sender) { OnOffOff(Sender); };

  Label7 = MakeLabel(Panel1, "Label7", kMakerHost, 72, 16);
  QFont bold = Label7->font();
  bold.setBold(true);
  bold.setPixelSize(13);
  Label7->setFont(bold);
  QPalette navy = Label7->palette();
  navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
  Label7->setPalette(navy);
  Label7->adjustSize();
  Label8 = MakeLabel(Panel1, "Label8", "Beta (4 :-)", 72, 40);
  // Label8 carries the status once there is one; it may wrap to a second
  // row at the designed width.
  Label8->setWordWrap(true);
  Label8->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  PlaceStatus();

  MemLog = Place(Named(new QPlainTextEdit(this), "MemLog"), 8, 9, 279, 261);
  MemLog->setReadOnly(true);
  // A log is never edited back: keeping an undo record of every line only
  // costs time and memory during a long poll.
  MemLog->setUndoRedoEnabled(false);
  MemLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  MemLog->hide();
  logFrame_ = new QTimer(this);
  logFrame_->setSingleShot(true);
  logFrame_->setInterval(kLogFrameMs);
  connect(logFrame_, &QTimer::timeout, this, [this] { FlushLog(); });

  // Tab order: the settings first, then the switch, then the log.
  QWidget* order[] = {ServerName, UserName, Password, Port, Security, DelOnRet, DestDir, PollSecs, SignIn, OnOff, MemLog};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

void TfrmMain::RegisterStoredProps() {
  auto text = [this](const char* entry, auto get, auto set, bool secret = false) {
    TStoredProp prop;
    prop.Entry = entry;
    prop.Kind = skText;
    prop.Secret = secret;
    prop.GetText = get;
    prop.SetText = set;
    FormStorage1->AddStoredProp(std::move(prop));
  };
  auto lineEdit = [&](const char* entry, QLineEdit* edit, bool secret = false) {
    text(
        entry, [edit] { return edit->text().toStdString(); },
        [edit](const std::string& value) { edit->setText(QString::fromStdString(value)); }, secret);
  };
  text(
      "DestDir.Text", [this] { return DestDir->Text(); },
      [this](const std::string& value) { DestDir->SetText(value); });
  lineEdit("Password.Text", Password, true);

  TStoredProp poll;
  poll.Entry = "PollSecs.Value";
  poll.Kind = skNumber;
  poll.GetNumber = [this] { return static_cast<double>(PollSecs->Value()); };
  poll.SetNumber = [this](double value) {
    const double clamped = std::clamp(value, static_cast<double>(PollSecs->MinValue()),
                                      static_cast<double>(PollSecs->MaxValue()));
    PollSecs->SetValue(std::llround(clamped));
  };
  FormStorage1->AddStoredProp(std::move(poll));

  lineEdit("Port.Text", Port);
  // A restored choice leaves the port as it was stored; an unknown one
  // leaves the choice as it is.
  text(
      "Security", [this] { return Security->currentText().toStdString(); },
      [this](const std::string& value) {
        const int index = Security->findText(Q(value), Qt::MatchFixedString);
        if (index >= 0) Security->setCurrentIndex(index);
      });
  text(
      "TrustedCertificate", [this] { return trustedCertificate_; },
      [this](const std::string& value) { trustedCertificate_ = value; });
  lineEdit("ServerName.Text", ServerName);
  lineEdit("UserName.Text", UserName);
  text(
      "SignIn", [this] { return std::string(UsesOAuth2() ? "OAuth2" : "Password"); },
      [this](const std::string& value) {
        (LowerCase(value) == "oauth2" ? SignInOAuth2 : SignInPassword)->setChecked(true);
        Password->setEnabled(!UsesOAuth2());
      });
  const std::pair<const char*, std::string TOAuthSettings::*> oauth[] = {
      {"OAuthProvider", &TOAuthSettings::Provider},         {"OAuthTenant", &TOAuthSettings::Tenant},
      {"OAuthClientId", &TOAuthSettings::ClientId},         {"OAuthClientSecret", &TOAuthSettings::ClientSecret},
      {"OAuthAuthorizeUrl", &TOAuthSettings::AuthorizeUrl}, {"OAuthTokenUrl", &TOAuthSettings::TokenUrl},
      {"OAuthScope", &TOAuthSettings::Scope},               {"OAuthMechanism", &TOAuthSettings::Mechanism}};
  for (const auto& [entry, member] : oauth)
    text(
        entry, [this, member] { return oauthSettings_.*member; },
        [this, member](const std::string& value) { oauthSettings_.*member = value; });

  auto boolean = [this](const char* entry, auto get, auto set) {
    TStoredProp prop;
    prop.Entry = entry;
    prop.Kind = skBoolean;
    prop.GetBoolean = get;
    prop.SetBoolean = set;
    FormStorage1->AddStoredProp(std::move(prop));
  };
  boolean(
      "DelOnRet.Checked", [this] { return DelOnRet->isChecked(); },
      [this](bool value) { DelOnRet->setChecked(value); });
  // No window control: the desktop's own settings can silence a program too.
  boolean("Notify", [this] { return notify_; }, [this](bool value) { notify_ = value; });
  boolean(
      "FetchOnlyNew", [this] { return fetchOnlyNew_; }, [this](bool value) { fetchOnlyNew_ = value; });
  // Last: restoring it as on switches on with every other setting in place.
  boolean(
      "OnOff.StateOn", [this] { return OnOff->StateOn(); }, [this](bool value) { OnOff->SetStateOn(value); });
}

bool TfrmMain::ValidateSettings() {
  std::string problems;
  if (ServerName->text().isEmpty()) problems += " No Server Name\n";
  if (UserName->text().isEmpty()) problems += " No User Name\n";
  if (!UsesOAuth2() && Password->text().isEmpty()) problems += " No Password\n";
  if (Port->text().isEmpty()) problems += " No Port\n";
  const std::string dest = DestDir->Text();
  if (dest.empty())
    problems += " No Destination Directory\n";
  else if (!QFileInfo(Q(dest)).isDir())
    problems += " Invalid Destination Directory\n";
  if (UsesOAuth2()) {
    HandOverProvider();
    if (const std::string fault = OAuth->ProviderFault(); !fault.empty())
      problems += " " + Capitalized(fault) + " in the settings file\n";
    else if (LoadRefreshToken(); !OAuth->SignedIn())
      problems += " Not signed in: Sign-in > Sign in with the browser\n";
  }
  if (problems.empty()) return true;
  Dialogs().MessageDialog(problems + "\nCannot start!");
  return false;
}

void TfrmMain::OnOffOn(QObject*) {
  if (!ValidateSettings()) {
    OnOff->SetStateOn(false);
    return;
  }
  evGetMail->SetInterval(PollSecs->Value() * 1000);
  POP->SetHost(ServerName->text().toStdString());
  POP->SetDeleteOnRetrieve(DelOnRet->isChecked());
  POP->SetUserName(UserName->text().toStdString());
  POP->SetPassword(Password->text().toStdString());
  try {
    POP->SetPort(StrToInt(Port->text().toStdString()));
  } catch (const std::exception&) {
    // The start from stored settings shows no error box: say it here.
    outcomeText_ = "Not started: the port \"" + Port->text().toStdString() + "\" is not a number";
    nextPoll_ = QDateTime();
    ShowStatusText();
    throw;
  }
  HandOverSecurity();
  POP->SetAuthMechanism(UsesOAuth2() ? OAuth->Provider().Mechanism : amUserPass);
  pollCycle_->SetSignInTokens(UsesOAuth2() ? OAuth : nullptr);
  resumeAfterSignIn_ = false;
  pollCycle_->SetIdListFolder(fetchOnlyNew_ ? FormStorage1->Store().StateFolder() : "");
  MemLog->show();
  panSettings->hide();
  evGetMail->SetEnabled(true);
  LogClear();
  LogAdd("Next poll in " + std::to_string(PollSecs->Value()) + " seconds, please wait");
  TimerList->SetActive(true);
  if (outcomeText_.rfind("Not started", 0) == 0) outcomeText_.clear();
  nextPoll_ = QDateTime::currentDateTime().addMSecs(evGetMail->Interval());
  ShowStatusText();
}

void TfrmMain::SecurityChosen(int index) {
  const bool tls = index == kSecurityTLS;
  if (Port->text() == QString::number(tls ? kPlainPort : kTLSPort))
    Port->setText(QString::number(tls ? kTLSPort : kPlainPort));
}

void TfrmMain::HandOverSecurity() {
  POP->SetTLSMode(kSecurityModes[std::clamp(Security->currentIndex(), 0, 2)]);
  POP->SetTrustedCertificate(trustedCertificate_);
}

bool TfrmMain::UsesOAuth2() const { return SignInOAuth2->isChecked(); }

void TfrmMain::SignInChosen() {
  const bool oauth = UsesOAuth2();
  Password->setEnabled(!oauth);
  if (!oauth) return;
  const TOAuthProvider preset = OAuthPreset(oauthSettings_.Provider, oauthSettings_.Tenant);
  if (preset.Host.empty()) return;
  // The mail services take OAuth2 over TLS on 995 only.
  if (ServerName->text().isEmpty()) ServerName->setText(Q(preset.Host));
  Port->setText(QString::number(kTLSPort));
  Security->setCurrentIndex(kSecurityTLS);
}

void TfrmMain::HandOverProvider() {
  const TOAuthSettings& o = oauthSettings_;
  TOAuthProvider provider = OAuthPreset(o.Provider, o.Tenant);
  provider.ClientId = o.ClientId;
  provider.ClientSecret = o.ClientSecret;
  // Each setting given overrides the preset's, so a custom provider is
  // its endpoints.
  if (!o.AuthorizeUrl.empty()) provider.AuthorizeUrl = o.AuthorizeUrl;
  if (!o.TokenUrl.empty()) provider.TokenUrl = o.TokenUrl;
  if (!o.Scope.empty()) provider.Scope = o.Scope;
  if (LowerCase(o.Mechanism) == "oauthbearer") provider.Mechanism = amOAuthBearer;
  if (LowerCase(o.Mechanism) == "xoauth2") provider.Mechanism = amXOAuth2;
  OAuth->SetProvider(provider);
}

std::string TfrmMain::RefreshTokenKey() const {
  return FormStorage1->Store().FileName() + " [TfrmMain] OAuth_RefreshToken";
}

void TfrmMain::LoadRefreshToken() {
  if (refreshTokenLoaded_ || OAuth->SignedIn()) return;
  refreshTokenLoaded_ = true;
  std::string token;
  const TSecretResult found = FormStorage1->Secrets().Load(RefreshTokenKey(), token);
  if (found == srOk) OAuth->SetRefreshToken(token);
  if (found == srNoService) {
    outcomeText_ = "No secret service: sign in with the browser at each start";
    ShowStatusText();
  }
}

void TfrmMain::StartBrowserSignIn() {
  HandOverProvider();
  outcomeText_ = "Signing in: finish in the browser";
  ShowStatusText();
  OAuth->StartBrowserSignIn();
}

void TfrmMain::SignInEnded(const std::string& failure) {
  if (!failure.empty()) {
    outcomeText_ = "Sign-in failed: " + Printable(failure);
    ShowStatusText();
    return;
  }
  refreshTokenLoaded_ = true;
  outcomeText_ = OAuth->RefreshTokenKept() ? "Signed in with " + OAuth->Provider().Name
                                           : "Signed in; no secret service keeps it: sign in again at each start";
  ShowStatusText();
  if (!std::exchange(resumeAfterSignIn_, false) || OnOff->StateOn()) return;
  // The poll that needed the sign-in switched the fetcher off; it goes on.
  SignInOAuth2->setChecked(true);
  OnOff->SetStateOn(true);
}

void TfrmMain::OnOffOff(QObject*) {
  TimerList->SetActive(false);
  MemLog->hide();
  panSettings->show();
  nextPoll_ = QDateTime();
  ShowStatusText();
}

std::string TfrmMain::StatusText() const {
  std::string next;
  // A time already gone by says nothing true about the next poll.
  if (nextPoll_.isValid() && nextPoll_ > QDateTime::currentDateTime())
    next = "next poll at " + QLocale::system().toString(nextPoll_.time(), QLocale::ShortFormat).toStdString();
  if (!OnOff->StateOn()) {
    if (outcomeText_.empty()) return "Switched off";
    if (outcomeText_.rfind("Not started", 0) == 0) return outcomeText_;
    return outcomeText_ + " - switched off";
  }
  if (outcomeText_.empty()) return next.empty() ? "Switched on" : "N" + next.substr(1);
  return next.empty() ? outcomeText_ : outcomeText_ + " - " + next;
}

void TfrmMain::PollEnded(const QDateTime& started, const TPollOutcome& outcome) {
  ShowStatus(started, outcome);
  if (notify_) NoticeNewMail(outcome);
}

void TfrmMain::ShowStatus(const QDateTime& started, TPollOutcome outcome) {
  outcome.time = QLocale::system().toString(started.time(), QLocale::ShortFormat).toStdString();
  outcomeText_ = Printable(PollStatusText(outcome));
  // A refresh token the provider refused: polling pauses (no request every
  // tick) until the person signs in again with the browser.
  if (outcome.failure == "sign-in needed" && UsesOAuth2() && OnOff->StateOn()) {
    resumeAfterSignIn_ = true;
    OnOff->SetStateOn(false);
    SignIn->setFocus();
    return;
  }
  // Ticks are measured from the start of the cycle they fire.
  if (TimerList->Active()) nextPoll_ = started.addMSecs(evGetMail->Interval());
  ShowStatusText();
}

void TfrmMain::ShowStatusText() {
  const std::string text = StatusText();
  Label8->setToolTip(Q(text));
  Label8->setText(Q(FittedStatus(text)));
}

bool TfrmMain::StatusFits(const std::string& text) const {
  const QRect room(0, 0, Label8->width(), Label8->height());
  const QRect needed = Label8->fontMetrics().boundingRect(room, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, Q(text));
  return needed.height() <= room.height() && needed.width() <= room.width();
}

std::string TfrmMain::FittedStatus(const std::string& text) const {
  if (StatusFits(text)) return text;
  // The outcome keeps its place: the next poll's time gives way first (the
  // tooltip holds the whole text), then the outcome's last words.
  std::string shown = text;
  if (const size_t dash = shown.rfind(" - "); dash != std::string::npos) shown.resize(dash);
  if (StatusFits(shown)) return shown;
  static const std::string kMore = "\u2026";
  while (!shown.empty()) {
    const size_t space = shown.find_last_of(' ');
    if (space == std::string::npos || space == 0) break;
    shown.resize(space);
    if (StatusFits(shown + kMore)) return shown + kMore;
  }
  return shown + kMore;
}

void TfrmMain::PlaceStatus() {
  // From its designed place to the panel's right edge, two rows high.
  const int rows = Label8->fontMetrics().lineSpacing() * 2;
  Label8->setGeometry(72, 40, std::max(Panel1->width() - 72 - 6, 40), std::min(rows, Panel1->height() - 40 - 2));
}

void TfrmMain::PollFromTimer(TComponent* Sender) {
  try {
    evGetMailTimer(Sender);
  } catch (const std::exception& error) {
    // The box is modal: later ticks run polls inside its event loop. One
    // box says it; the polls behind it report to the log and the status
    // only, so a failure that repeats every tick never stacks boxes.
    if (errorBoxOpen_) return;
    errorBoxOpen_ = true;
    ShowException(error);
    errorBoxOpen_ = false;
  }
}

void TfrmMain::evGetMailTimer(TComponent*) { pollCycle_->Run(); }

// The log's lines live here; the widget is given what changed at most once
// per frame. A poll can add lines far faster than a screen shows them, and
// the widget's layout costs grow with its length.
void TfrmMain::ScheduleLogFlush() {
  if (!logFrame_->isActive()) logFrame_->start();
}

void TfrmMain::LogClear() {
  logLines_.clear();
  logPending_.clear();
  logCleared_ = true;
  ScheduleLogFlush();
}

void TfrmMain::LogAdd(const std::string& text) {
  const std::string line = Printable(text);
  logLines_.push_back(line);
  if (logLines_.size() > kLogMaxLines) logLines_.pop_front();
  logPending_.push_back(line);
  if (logPending_.size() > kLogMaxLines) {
    // More new lines than the log keeps: the widget starts over with them.
    logPending_.pop_front();
    logCleared_ = true;
  }
  ScheduleLogFlush();
}

void TfrmMain::FlushLog() {
  if (logCleared_) MemLog->clear();
  logCleared_ = false;
  if (logPending_.empty()) return;
  std::string text;
  for (const std::string& line : logPending_) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  logPending_.clear();
  MemLog->appendPlainText(Q(text));
  // Lines beyond the limit go in one edit, now and then: dropping them one
  // by one makes the widget measure every line it holds each time.
  const int excess = MemLog->blockCount() - static_cast<int>(kLogMaxLines);
  if (excess > static_cast<int>(kLogMaxLines / 10)) {
    QTextCursor cursor(MemLog->document());
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess);
    cursor.removeSelectedText();
  }
}

std::vector<std::string> TfrmMain::LogLines() const { return {logLines_.begin(), logLines_.end()}; }

void TfrmMain::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) RunGuarded([this] { FormStorage1->FormShow(); });
  QWidget::showEvent(event);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  event->accept();
  RunGuarded([this] { FormStorage1->FormCloseQuery(); });
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int w = width();
  const int h = height();
  // Anchors: settings and log follow every edge; the switch panel keeps
  // to the bottom and stretches sideways.
  panSettings->setGeometry(8, 8, w - 8 - 7, h - 8 - 90);
  MemLog->setGeometry(8, 9, w - 8 - 9, h - 9 - 88);
  Panel1->setGeometry(8, h - 7 - 73, w - 8 - 7, 73);
  PlaceStatus();
}

}  // namespace Vizu2000
