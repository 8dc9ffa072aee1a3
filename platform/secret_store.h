#pragma once
// The desktop's secret store (the Secret Service on a Linux desktop), for a
// password that should not sit in a settings file. Each call waits for its
// answer while the window thread's events keep flowing (user input aside),
// so callers keep a simple, synchronous shape.
#include <string>

namespace Vizu2000 {

enum TSecretResult {
  srOk,
  srNotFound,     // the service answered: it holds no secret under that key
  srNoService,    // no secret service exists: no session bus, or nothing on
                  // it that offers secrets or could be started to
  srUnavailable,  // one exists but gave no answer: locked, refused, too
                  // slow, or this store is switched off
};

class TSecretStore {
 public:
  // service: the name the secrets are filed under, e.g. the program's.
  explicit TSecretStore(std::string service, int timeoutMs = kDefaultTimeoutMs);

  TSecretResult Save(const std::string& key, const std::string& secret);
  TSecretResult Load(const std::string& key, std::string& secret);
  TSecretResult Remove(const std::string& key);

  // Off: every call answers srUnavailable at once, without an event loop or
  // a question to the bus (for moments when no event may be handled any
  // more).
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }

  // The service's words for the last call that did not give srOk.
  const std::string& LastError() const { return lastError_; }

  // Long enough for a person to unlock a locked keyring at its prompt.
  static constexpr int kDefaultTimeoutMs = 60000;

 private:
  std::string service_;
  int timeoutMs_;
  bool enabled_ = true;
  std::string lastError_;
};

}  // namespace Vizu2000
