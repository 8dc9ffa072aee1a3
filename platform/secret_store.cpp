#include "platform/secret_store.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
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

template <typename TJob, typename TPrepare>
TSecretResult Run(const std::string& service, const std::string& key, int timeoutMs, bool enabled,
                  std::string& lastError, TPrepare prepare, QString* text = nullptr) {
  lastError.clear();
  // The jobs answer through the event loop; without one nothing ever would.
  if (!enabled || !QCoreApplication::instance()) {
    lastError = "secret store not in use";
    return srNoService;
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
  if (outcome.finished && outcome.error == QKeychain::EntryNotFound) return srNotFound;
  return srNoService;
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
