#pragma once
// Signing in to a mailbox with OAuth2 (RFC 6749): the authorization code
// flow with PKCE (RFC 7636) in the system browser, its answer taken on a
// loopback redirect (RFC 8252 section 7.3), and access tokens renewed with
// the refresh token for every poll.
//
// Qt's QOAuth2AuthorizationCodeFlow builds the authorization URL, opens it,
// listens on the loopback and makes the token requests. What Qt 6.4's flow
// lacks is done here: PKCE, a clear end (and a closed listener) for a state
// mismatch, a redirect without a code or with an error, refusals of the
// token endpoint (the flow only logs them), and a wait the poll can make
// for a renewed token.
#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "app/poll_cycle.h"
#include "mail/net/sasl.h"

class QOAuth2AuthorizationCodeFlow;
class QUrl;

namespace Vizu2000 {

class TLoopbackReplyHandler;
class TREZ2000;

struct TOAuthProvider {
  std::string Name;  // "Microsoft", "Google" or "Custom"
  std::string AuthorizeUrl;
  std::string TokenUrl;
  std::string Scope;
  std::string ClientId;
  // Google gives desktop clients a secret that their token requests must
  // carry; it cannot stay secret in a program, and is no password.
  std::string ClientSecret;
  TAuthMechanism Mechanism = amXOAuth2;
  // The mailbox server the preset goes with; empty for a custom provider.
  std::string Host;
};

// The preset named "Microsoft" (tenant "common" when tenant is empty) or
// "Google", in any case; any other name gives a custom provider with
// OAUTHBEARER and no endpoints, for the caller to fill in. The client id
// comes from the caller: no provider's id ships with the program.
TOAuthProvider OAuthPreset(const std::string& name, const std::string& tenant = "");

class TOAuthSignIn : public QObject, public TSignInTokens {
  Q_OBJECT
 public:
  // pop gets the access token before each poll.
  explicit TOAuthSignIn(TREZ2000& pop, QObject* parent = nullptr);
  ~TOAuthSignIn() override;

  void SetProvider(const TOAuthProvider& provider);
  const TOAuthProvider& Provider() const { return provider_; }
  // What is wrong with the provider's settings ("no OAuth2 client id", ...);
  // empty when a sign-in can start.
  std::string ProviderFault() const;

  // Where the refresh token is kept: the desktop's secret store, never a
  // file. Save answers whether the store took it.
  std::function<bool(const std::string& refreshToken)> SaveRefreshToken;
  std::function<void()> RemoveRefreshToken;
  // The refresh token the store held at the start (empty: none).
  void SetRefreshToken(const std::string& refreshToken);
  bool SignedIn() const;
  // Whether the store took the refresh token of the last sign-in; without
  // a secret service it lives in memory until the program ends.
  bool RefreshTokenKept() const { return refreshTokenKept_; }
  // Forgets every token, in memory and in the store.
  void SignOut();

  // Opens the browser on the provider's page and listens on 127.0.0.1 for
  // the answer; returns at once. OnSignInEnded reports the end: an empty
  // failure once the tokens are in and the refresh token is with the store,
  // else why not, in words for a person. Nothing is kept from a sign-in
  // that failed. Starting again while one runs starts that one over.
  void StartBrowserSignIn();
  void CancelSignIn();
  bool SigningIn() const { return signingIn_; }
  std::function<void(const std::string& failure)> OnSignInEnded;
  // The URL the browser is sent to (tests follow it); by default
  // QDesktopServices::openUrl.
  std::function<void(const QUrl& url)> OpenBrowser;

  // The poll's side (TSignInTokens): Prepare hands POP an access token good
  // for at least kRenewAhead, renewed with the refresh token when it is
  // not; Renew renews it even so, after the server refused it. Both wait
  // for the token endpoint with window events flowing. A refresh token the
  // provider refuses is forgotten: "sign-in needed", and no request is made
  // again until a browser sign-in succeeds.
  bool Prepare(std::string& failure) override;
  bool Renew(std::string& failure) override;

  static constexpr int kRenewAheadSeconds = 300;
  static constexpr int kTokenWaitMs = 60000;

 signals:
  void TokenRequestDone();

 private:
  bool HandOverToken(bool renew, std::string& failure);
  // Waits until the flow's pending token request has ended; the failure is
  // empty when it gave tokens.
  std::string AwaitTokens();
  void MakeFlow();
  void EndSignIn(const std::string& failure);
  void CallbackReceived(const QVariantMap& values);
  // What is wrong with the browser's answer; empty when it holds a code.
  std::string CallbackFault(const QVariantMap& values) const;
  void TokenRequestFailed(const QString& error, const QString& description);
  // A token request has ended, well or not: a sign-in under way ends too.
  void TokenRequestEnded();

  TREZ2000& pop_;
  TOAuthProvider provider_;
  std::unique_ptr<QOAuth2AuthorizationCodeFlow> flow_;
  TLoopbackReplyHandler* handler_ = nullptr;  // owned by flow_
  QString verifier_;           // PKCE code verifier of the sign-in under way
  QString expectedState_;
  bool signingIn_ = false;
  bool awaiting_ = false;      // a token request is pending
  std::string tokenFailure_;   // why the last token request failed
  bool refreshRefused_ = false;
  bool refreshTokenKept_ = false;
  // Held in memory only; the refresh token also in the secret store.
  std::string accessToken_;
  QDateTime expiry_;
  std::string refreshToken_;
  std::string newRefreshToken_;  // from the last token answer
};

}  // namespace Vizu2000
