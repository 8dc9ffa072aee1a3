#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <cstdlib>
#include <memory>

#include "platform/paths.h"

namespace Vizu2000 {

struct TSettingsStore::TImpl {
  std::unique_ptr<QSettings> settings;
};

namespace {

QString Key(const std::string& section, const std::string& name) {
  return QString::fromStdString(section) + "/" + QString::fromStdString(name);
}

const char* OverriddenFileName() {
  const char* overridden = std::getenv("QUENWICK_SETTINGS");
  return overridden && *overridden ? overridden : nullptr;
}

}  // namespace

TSettingsStore::TSettingsStore(std::string keyPath)
    : keyPath_(std::move(keyPath)),
      fileName_(DefaultFileName(keyPath_)),
      overridden_(OverriddenFileName() != nullptr),
      impl_(new TImpl) {}

TSettingsStore::~TSettingsStore() {
  delete impl_;
}

std::string TSettingsStore::DefaultFileName(const std::string& keyPath) {
  if (const char* overridden = OverriddenFileName()) return overridden;
  QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (base.isEmpty()) base = QDir::homePath() + "/.config";
  return (base + "/" + QString::fromStdString(keyPath) + ".ini").toStdString();
}

std::string TSettingsStore::StateFolder() const {
  // A settings file moved elsewhere takes its state along, so the lists of
  // a test or of a second configuration never mix with the user's own.
  if (overridden_) return fileName_ + ".state";
  // The base directory rules ignore a relative path.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/quenwick";
  return QDir::homePath().toStdString() + "/.local/state/quenwick";
}

bool TSettingsStore::OpenKeyReadOnly() {
  impl_->settings.reset();
  writable_ = false;
  if (!QFileInfo(QString::fromStdString(fileName_)).isFile()) return false;
  impl_->settings = std::make_unique<QSettings>(QString::fromStdString(fileName_), QSettings::IniFormat);
  return true;
}

bool TSettingsStore::OpenKeyForWrite() {
  impl_->settings.reset();
  writable_ = false;
  const QString file = QString::fromStdString(fileName_);
  if (!MakePrivateFolders(QFileInfo(file).path().toStdString())) return false;
  // Create the file ourselves so that it is private from its first byte; the
  // INI writer keeps the permissions of the file it replaces.
  const int fd = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool privateNow = ::fchmod(fd, 0600) == 0;
  ::close(fd);
  if (!privateNow) return false;
  impl_->settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
  if (!impl_->settings->isWritable()) {
    impl_->settings.reset();
    return false;
  }
  writable_ = true;
  return true;
}

TValueKind TSettingsStore::ReadValue(const std::string& section, const std::string& name,
                                     std::string& value) {
  if (!impl_->settings) return vkMissing;
  const QVariant v = impl_->settings->value(Key(section, name));
  if (!v.isValid()) return vkMissing;
  if (v.typeId() == QMetaType::QString) {
    value = v.toString().toStdString();
    return vkString;
  }
  // An unquoted value holding commas reads back as a list: join it again.
  if (v.typeId() == QMetaType::QStringList) {
    value = v.toStringList().join(",").toStdString();
    return vkString;
  }
  return vkOtherType;
}

void TSettingsStore::WriteString(const std::string& section, const std::string& name,
                                 const std::string& value) {
  if (impl_->settings && writable_)
    impl_->settings->setValue(Key(section, name), QString::fromStdString(value));
}

void TSettingsStore::DeleteValue(const std::string& section, const std::string& name) {
  if (impl_->settings && writable_) impl_->settings->remove(Key(section, name));
}

bool TSettingsStore::CloseKey() {
  if (!impl_->settings) return true;
  bool ok = true;
  if (writable_) {
    impl_->settings->sync();
    ok = impl_->settings->status() == QSettings::NoError;
    ::chmod(fileName_.c_str(), 0600);
  }
  impl_->settings.reset();
  writable_ = false;
  return ok;
}

}  // namespace Vizu2000
