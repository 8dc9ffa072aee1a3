#include "app/oauth_sign_in.h"

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QOAuth2AuthorizationCodeFlow>
#include <QOAuthHttpServerReplyHandler>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>

#include <utility>

#include "app/poll_status.h"
#include "mail/net/pop3_client.h"
#include "platform/string_list.h"

namespace Vizu2000 {

// The flow's loopback listener, bound to 127.0.0.1 alone (RFC 8252 section
// 8.3: not to every interface, as Qt's default would), which also reports
// what Qt 6.4 only logs: a token request the endpoint refused, with the
// "error" of its answer (RFC 6749 section 5.2).
class TLoopbackReplyHandler : public QOAuthHttpServerReplyHandler {
  Q_OBJECT
 public:
  explicit TLoopbackReplyHandler(QObject* parent) : QOAuthHttpServerReplyHandler(QHostAddress::LocalHost, 0, parent) {
    close();  // listens only while a sign-in waits
  }

  void networkReplyFinished(QNetworkReply* reply) override {
    if (reply->error() == QNetworkReply::NoError) {
      QOAuthHttpServerReplyHandler::networkReplyFinished(reply);
      return;
    }
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    const QString error = answer.value("error").toString();
    emit TokenRequestFailed(error.isEmpty() ? reply->errorString() : error,
                            answer.value("error_description").toString());
  }

 signals:
  void TokenRequestFailed(const QString& error, const QString& description);
};

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QString Base64Url(const QByteArray& bytes) {
  return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// A parameter Qt 6.4 hands over already percent-encoded, which the query
// would encode a second time ("http%253A..."): taken back to its plain form.
void Unescape(QMultiMap<QString, QVariant>* parameters, const QString& key) {
  const auto it = parameters->find(key);
  if (it == parameters->end()) return;
  const QString value = it.value().toString();
  if (value.contains('%')) it.value() = QUrl::fromPercentEncoding(value.toUtf8());
}

}  // namespace

TOAuthProvider OAuthPreset(const std::string& name, const std::string& tenant) {
  TOAuthProvider p;
  const std::string lower = LowerCase(name);
  if (lower == "microsoft") {
    const std::string t = tenant.empty() ? "common" : tenant;
    p.Name = "Microsoft";
    p.AuthorizeUrl = "https://login.microsoftonline.com/" + t + "/oauth2/v2.0/authorize";
    p.TokenUrl = "https://login.microsoftonline.com/" + t + "/oauth2/v2.0/token";
    p.Scope = "https://outlook.office.com/POP.AccessAsUser.All offline_access";
    p.Mechanism = amXOAuth2;
    p.Host = "outlook.office365.com";
  } else if (lower == "google") {
    p.Name = "Google";
    p.AuthorizeUrl = "https://accounts.google.com/o/oauth2/v2/auth";
    p.TokenUrl = "https://oauth2.googleapis.com/token";
    p.Scope = "https://mail.google.com/";
    p.Mechanism = amXOAuth2;
    p.Host = "pop.gmail.com";
  } else {
    p.Name = "Custom";
    p.Mechanism = amOAuthBearer;
  }
  return p;
}

TOAuthSignIn::TOAuthSignIn(TREZ2000& pop, QObject* parent) : QObject(parent), pop_(pop) {
  OpenBrowser = [](const QUrl& url) { QDesktopServices::openUrl(url); };
  MakeFlow();
}

TOAuthSignIn::~TOAuthSignIn() = default;

void TOAuthSignIn::MakeFlow() {
  flow_ = std::make_unique<QOAuth2AuthorizationCodeFlow>();
  handler_ = new TLoopbackReplyHandler(flow_.get());
  handler_->setCallbackText("Quenwick has its answer; you may close this page.");
  // Connected before the flow connects its own handlers, so a bad answer
  // ends the sign-in before the flow acts on it.
  connect(handler_, &QAbstractOAuthReplyHandler::callbackReceived, this,
          [this](const QVariantMap& values) { CallbackReceived(values); });
  connect(handler_, &TLoopbackReplyHandler::TokenRequestFailed, this,
          [this](const QString& error, const QString& description) { TokenRequestFailed(error, description); });
  connect(handler_, &QAbstractOAuthReplyHandler::tokensReceived, this, [this](const QVariantMap& tokens) {
    if (!awaiting_) return;
    const QString access = tokens.value("access_token").toString();
    if (access.isEmpty()) return TokenRequestFailed("the answer holds no access token", "");
    accessToken_ = access.toStdString();
    const int lifetime = tokens.value("expires_in").toInt();
    // RFC 6749 section 5.1: expires_in is recommended, not required; without
    // it a token is taken for an hour, and a refusal renews it earlier.
    expiry_ = QDateTime::currentDateTimeUtc().addSecs(lifetime > 0 ? lifetime : 3600);
    // A provider may hand out a new refresh token with each renewal (RFC
    // 6749 section 6); the old one may then stop working.
    if (const QString refresh = tokens.value("refresh_token").toString(); !refresh.isEmpty())
      newRefreshToken_ = refresh.toStdString();
    awaiting_ = false;
    TokenRequestEnded();
  });
  flow_->setReplyHandler(handler_);
  connect(flow_.get(), &QAbstractOAuth::authorizeWithBrowser, this, [this](const QUrl& url) {
    if (OpenBrowser) OpenBrowser(url);
  });
  flow_->setModifyParametersFunction([this](QAbstractOAuth::Stage stage, QMultiMap<QString, QVariant>* p) {
    Unescape(p, "redirect_uri");
    Unescape(p, "scope");
    switch (stage) {
      case QAbstractOAuth::Stage::RequestingAuthorization:
        // RFC 7636 section 4.3: the challenge is the verifier's SHA-256.
        p->replace("code_challenge",
                   Base64Url(QCryptographicHash::hash(verifier_.toLatin1(), QCryptographicHash::Sha256)));
        p->replace("code_challenge_method", "S256");
        break;
      case QAbstractOAuth::Stage::RequestingAccessToken:
        p->replace("code_verifier", verifier_);
        p->replace("client_id", Q(provider_.ClientId));
        if (!provider_.ClientSecret.empty()) p->replace("client_secret", Q(provider_.ClientSecret));
        break;
      case QAbstractOAuth::Stage::RefreshingAccessToken:
        // RFC 6749 section 6 names no redirect URI, and the listener that
        // one would name is closed.
        p->remove("redirect_uri");
        p->replace("client_id", Q(provider_.ClientId));
        if (!provider_.ClientSecret.empty()) p->replace("client_secret", Q(provider_.ClientSecret));
        break;
      default:
        break;
    }
  });
}

void TOAuthSignIn::SetProvider(const TOAuthProvider& provider) {
  provider_ = provider;
  flow_->setAuthorizationUrl(QUrl(Q(provider.AuthorizeUrl)));
  flow_->setAccessTokenUrl(QUrl(Q(provider.TokenUrl)));
  flow_->setClientIdentifier(Q(provider.ClientId));
  flow_->setScope(Q(provider.Scope));
}

std::string TOAuthSignIn::ProviderFault() const {
  if (provider_.ClientId.empty()) return "no OAuth2 client id";
  const auto usable = [](const std::string& url) {
    const QUrl u(Q(url));
    return u.isValid() && (u.scheme() == "https" || (u.scheme() == "http" && QHostAddress(u.host()).isLoopback()));
  };
  // RFC 6749 section 3.1: only TLS protects the endpoints; plain http is
  // fine on this machine's own loopback and nowhere else.
  if (!usable(provider_.AuthorizeUrl)) return "no usable OAuth2 authorization endpoint";
  if (!usable(provider_.TokenUrl)) return "no usable OAuth2 token endpoint";
  return "";
}

void TOAuthSignIn::SetRefreshToken(const std::string& refreshToken) {
  refreshToken_ = refreshToken;
  accessToken_.clear();
}

bool TOAuthSignIn::SignedIn() const { return !refreshToken_.empty(); }

void TOAuthSignIn::SignOut() {
  refreshToken_.clear();
  accessToken_.clear();
  if (RemoveRefreshToken) RemoveRefreshToken();
}

void TOAuthSignIn::StartBrowserSignIn() {
  if (signingIn_) CancelSignIn();
  if (const std::string fault = ProviderFault(); !fault.empty()) {
    if (OnSignInEnded) OnSignInEnded(fault);
    return;
  }
  // RFC 7636 section 4.1: 32 random octets make a verifier of 43
  // characters.
  QByteArray random(32, '\0');
  QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(random.data()), 8);
  verifier_ = Base64Url(random);
  // RFC 8252 section 7.3: any free port on the loopback.
  if (!handler_->listen(QHostAddress::LocalHost, 0)) {
    if (OnSignInEnded) OnSignInEnded("cannot listen on 127.0.0.1 for the browser's answer");
    return;
  }
  signingIn_ = true;
  awaiting_ = false;
  flow_->grant();
}

void TOAuthSignIn::CancelSignIn() {
  if (!signingIn_) return;
  EndSignIn("sign-in cancelled");
}

void TOAuthSignIn::EndSignIn(const std::string& failure) {
  handler_->close();
  verifier_.clear();
  signingIn_ = false;
  awaiting_ = false;
  if (OnSignInEnded) OnSignInEnded(failure);
}

void TOAuthSignIn::CallbackReceived(const QVariantMap& values) {
  if (!signingIn_ || awaiting_) return;
  const std::string failure = CallbackFault(values);
  if (failure.empty()) {
    // The flow now asks the token endpoint, naming the redirect URI of
    // this listener, which therefore stays open until the answer ends the
    // sign-in.
    awaiting_ = true;
    tokenFailure_.clear();
    newRefreshToken_.clear();
    return;
  }
  // Ended once the listener has answered the browser.
  awaiting_ = true;
  QTimer::singleShot(0, this, [this, failure] { EndSignIn(failure); });
}

std::string TOAuthSignIn::CallbackFault(const QVariantMap& values) const {
  const auto text = [](const QVariant& value) {
    // A query value as the browser sent it, "+" for a space (HTML's form
    // encoding, which RFC 6749 appendix B prescribes).
    QByteArray bytes = value.toByteArray();
    bytes.replace('+', ' ');
    return Printable(QUrl::fromPercentEncoding(bytes).toStdString());
  };
  // RFC 6749 section 4.1.2.1: the provider's refusal comes as "error".
  if (const std::string error = text(values.value("error")); !error.empty()) {
    const std::string description = text(values.value("error_description"));
    return "the provider refused the sign-in: " + error + (description.empty() ? "" : " (" + description + ")");
  }
  // RFC 6749 section 10.12: an answer whose state is not this sign-in's
  // could come from anyone who can reach the loopback port.
  if (values.value("state").toString() != flow_->state())
    return "the browser's answer does not belong to this sign-in (state mismatch)";
  if (values.value("code").toString().isEmpty()) return "the browser's answer holds no code";
  if (verifier_.isEmpty()) return "the sign-in lost its PKCE verifier";
  return "";
}

void TOAuthSignIn::TokenRequestEnded() {
  emit TokenRequestDone();
  if (!signingIn_) return;
  if (!tokenFailure_.empty()) return EndSignIn("the provider refused the code: " + tokenFailure_);
  if (newRefreshToken_.empty()) return EndSignIn("the provider gave no refresh token (is offline access allowed?)");
  refreshToken_ = std::exchange(newRefreshToken_, std::string());
  refreshTokenKept_ = SaveRefreshToken && SaveRefreshToken(refreshToken_);
  EndSignIn("");
}

void TOAuthSignIn::TokenRequestFailed(const QString& error, const QString& description) {
  if (!awaiting_) return;
  tokenFailure_ = Printable(error.toStdString()) + (description.isEmpty() ? "" : " (" + Printable(description.toStdString()) + ")");
  refreshRefused_ = error == "invalid_grant";
  awaiting_ = false;
  TokenRequestEnded();
}

std::string TOAuthSignIn::AwaitTokens() {
  if (awaiting_) {
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &TOAuthSignIn::TokenRequestDone, &loop, &QEventLoop::quit);
    limit.start(kTokenWaitMs);
    loop.exec();
    if (awaiting_) {
      awaiting_ = false;
      return "no answer from the token endpoint";
    }
  }
  return tokenFailure_;
}

bool TOAuthSignIn::Prepare(std::string& failure) { return HandOverToken(false, failure); }

bool TOAuthSignIn::Renew(std::string& failure) { return HandOverToken(true, failure); }

bool TOAuthSignIn::HandOverToken(bool renew, std::string& failure) {
  const bool fresh = !accessToken_.empty() &&
                     QDateTime::currentDateTimeUtc().secsTo(expiry_) > kRenewAheadSeconds;
  if (!renew && fresh) {
    pop_.SetAccessToken(accessToken_);
    return true;
  }
  accessToken_.clear();
  if (refreshToken_.empty()) {
    failure = "sign-in needed";
    return false;
  }
  if (signingIn_ || awaiting_) {
    failure = "a sign-in is under way";
    return false;
  }
  refreshRefused_ = false;
  tokenFailure_.clear();
  newRefreshToken_.clear();
  awaiting_ = true;
  flow_->setRefreshToken(Q(refreshToken_));
  flow_->refreshAccessToken();
  const std::string refused = AwaitTokens();
  if (!refused.empty()) {
    if (refreshRefused_) {
      // RFC 6749 section 5.2: invalid_grant: the refresh token is revoked
      // or expired. Only the person at the browser can mend that.
      SignOut();
      failure = "sign-in needed";
    } else {
      failure = "cannot renew the access token: " + refused;
    }
    return false;
  }
  if (!newRefreshToken_.empty() && newRefreshToken_ != refreshToken_) {
    refreshToken_ = std::exchange(newRefreshToken_, std::string());
    if (SaveRefreshToken) SaveRefreshToken(refreshToken_);
  }
  pop_.SetAccessToken(accessToken_);
  return true;
}

}  // namespace Vizu2000

#include "oauth_sign_in.moc"
