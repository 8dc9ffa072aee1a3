#pragma once
// The per-user store that keeps the window's settings where the original
// desktop kept them in the system registry: an INI file, one key path
// ("Software/<program>") per program, sections and string values inside.
// The file holds a password in plain text, so it is created readable and
// writable by its owner only.
#include <string>

namespace Vizu2000 {

enum TValueKind { vkMissing, vkString, vkOtherType };

class TSettingsStore {
 public:
  // keyPath is "Software/<program base name>"; the file is
  // $QUENWICK_SETTINGS when that is set, else <config dir>/<keyPath>.ini.
  explicit TSettingsStore(std::string keyPath);
  ~TSettingsStore();
  TSettingsStore(const TSettingsStore&) = delete;
  TSettingsStore& operator=(const TSettingsStore&) = delete;

  static std::string DefaultFileName(const std::string& keyPath);
  const std::string& FileName() const { return fileName_; }
  const std::string& KeyPath() const { return keyPath_; }
  // Where the program keeps what it learns as it runs (not settings, not
  // worth a backup): $XDG_STATE_HOME/quenwick, by default
  // ~/.local/state/quenwick; with $QUENWICK_SETTINGS, FileName() + ".state".
  std::string StateFolder() const;

  // Opens the key for reading only; false (and every read missing) when the
  // file does not exist.
  bool OpenKeyReadOnly();
  // Opens the key for writing, creating the file (mode 0600) and its folders
  // when missing; false when that is not possible.
  bool OpenKeyForWrite();
  // Reads a value of the section; value is set only for vkString.
  TValueKind ReadValue(const std::string& section, const std::string& name, std::string& value);
  void WriteString(const std::string& section, const std::string& name, const std::string& value);
  // Removes a value of the section, if there is one.
  void DeleteValue(const std::string& section, const std::string& name);
  // Writes out what was written and closes; false when the file could not
  // be written.
  bool CloseKey();

 private:
  struct TImpl;
  std::string keyPath_;
  std::string fileName_;
  bool overridden_ = false;  // fileName_ is $QUENWICK_SETTINGS
  TImpl* impl_ = nullptr;
  bool writable_ = false;
};

}  // namespace Vizu2000
