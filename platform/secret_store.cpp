#include "platform/secret_store.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QEventLoop>
#include <QTimer>

namespace Vizu2000 {

namespace {

struct TJobOutcome {
  bool finished = false;
  QKeychain::Error error = QKeychain::OtherError;
  QString message;
  QString text;
};

// Starts the job and waits for it. The job deletes itself once finished, so
// everything is read from it inside the handler; after a time-out it is left
// to finish on its own, its answer no longer wanted.
TJobOutcome RunJob(QKeychain::Job* job, int timeoutMs) {
  TJobOutcome outcome;
  QEventLoop loop;
  QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* done) {
    outcome.finished = true;
    outcome.error = done->error();
    outcome.message = done->errorString();
    if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done)) outcome.text = read->textData();
    loop.quit();
  });
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  job->start();
  // A person must not change the settings while they are being kept.
  if (!outcome.finished) loop.exec(QEventLoop::ExcludeUserInputEvents);
  if (!outcome.finished) outcome.message = "no answer from the secret service";
  return outcome;
}

// The bus names a secret store answers to: the desktop-neutral one, and the
// wallets QtKeychain prefers on the desktop that has them.
const char* const kServiceNames[] = {"org.freedesktop.secrets", "org.kde.kwalletd6", "org.kde.kwalletd5"};
// The bus and a keyring answer such questions at once when they are there.
constexpr int kBusQuestionMs = 5000;

// QtKeychain tells a missing bus, a locked keyring and a refused prompt
// apart by no error code of its own, so the bus is asked whether anyone
// holds a store's name or could be started for it. Where the bus gives no
// clear answer, a store is assumed to exist: a password is better left
// unsaved than written where a keyring would have kept it.
bool SecretServiceExists() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusConnectionInterface* daemon = bus.interface();
  if (!daemon) return true;
  daemon->setTimeout(kBusQuestionMs);
  for (const char* name : kServiceNames) {
    const QDBusReply<bool> owned = daemon->isServiceRegistered(QString::fromLatin1(name));
    if (!owned.isValid() || owned.value()) return true;
  }
  const QDBusReply<QStringList> startable = daemon->activatableServiceNames();
  if (!startable.isValid()) return true;
  for (const char* name : kServiceNames)
    if (startable.value().contains(QString::fromLatin1(name))) return true;
  return false;
}

// A locked keyring hides what it holds: once its unlock prompt is refused or
// cannot be shown, a search in it finds nothing, which QtKeychain reports
// as an entry not found. The keyring's default collection (where QtKeychain
// files its entries) says whether it is locked; a keyring without one, or no
// keyring on that name, hides nothing.
bool NotFoundMayBeALock() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage ask = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets/aliases/default"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  ask << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
  ask.setAutoStartService(false);
  const QDBusMessage answer = bus.call(ask, QDBus::Block, kBusQuestionMs);
  if (answer.type() == QDBusMessage::ReplyMessage)
    return answer.arguments().value(0).value<QDBusVariant>().variant().toBool();
  // A keyring too slow to say is one that may well be locked.
  const QString error = answer.errorName();
  return error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
         error == QLatin1String("org.freedesktop.DBus.Error.Timeout");
}

template <typename TJob, typename TPrepare>
TSecretResult Run(const std::string& service, const std::string& key, int timeoutMs, bool enabled,
                  std::string& lastError, TPrepare prepare, QString* text = nullptr) {
  lastError.clear();
  // The jobs answer through the event loop; without one nothing ever would.
  // Whether a service exists is then not known either, and not asked: the
  // bus may be going away with the session.
  if (!enabled || !QCoreApplication::instance()) {
    lastError = "secret store not in use";
    return srUnavailable;
  }
  auto* job = new TJob(QString::fromStdString(service));
  job->setKey(QString::fromStdString(key));
  prepare(*job);
  const TJobOutcome outcome = RunJob(job, timeoutMs);
  if (outcome.finished && outcome.error == QKeychain::NoError) {
    if (text) *text = outcome.text;
    return srOk;
  }
  lastError = outcome.message.toStdString();
  if (outcome.finished && outcome.error == QKeychain::EntryNotFound) {
    if (!NotFoundMayBeALock()) return srNotFound;
    lastError = "the secret store is locked";
    return srUnavailable;
  }
  return SecretServiceExists() ? srUnavailable : srNoService;
}

}  // namespace

TSecretStore::TSecretStore(std::string service, int timeoutMs)
    : service_(std::move(service)), timeoutMs_(timeoutMs) {}

TSecretResult TSecretStore::Save(const std::string& key, const std::string& secret) {
  return Run<QKeychain::WritePasswordJob>(service_, key, timeoutMs_, enabled_, lastError_,
                                          [&](QKeychain::WritePasswordJob& job) {
                                            job.setTextData(QString::fromStdString(secret));
                                          });
}

TSecretResult TSecretStore::Load(const std::string& key, std::string& secret) {
  QString text;
  const TSecretResult result = Run<QKeychain::ReadPasswordJob>(
      service_, key, timeoutMs_, enabled_, lastError_, [](QKeychain::ReadPasswordJob&) {}, &text);
  if (result == srOk) secret = text.toStdString();
  return result;
}

TSecretResult TSecretStore::Remove(const std::string& key) {
  return Run<QKeychain::DeletePasswordJob>(service_, key, timeoutMs_, enabled_, lastError_,
                                           [](QKeychain::DeletePasswordJob&) {});
}

}  // namespace Vizu2000
