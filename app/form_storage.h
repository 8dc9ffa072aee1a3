#pragma once
// Keeps a window's placement and chosen properties in the settings store:
// restores them when the window is first shown and saves them when it is
// closed (or destroyed without a completed save). Properties are restored in
// list order through their own setters, so a switch listed last is turned
// on only after everything it checks is in place.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/secret_store.h"

class QWidget;

namespace Vizu2000 {

class TSettingsStore;

enum TStoredKind { skText, skNumber, skBoolean };

struct TStoredProp {
  std::string Entry;  // component "." property
  TStoredKind Kind = skText;
  // Kept in the desktop's secret store; in the file only where no secret
  // service exists at all.
  bool Secret = false;
  std::function<std::string()> GetText;
  std::function<void(const std::string&)> SetText;
  std::function<double()> GetNumber;
  std::function<void(double)> SetNumber;
  std::function<bool()> GetBoolean;
  std::function<void(bool)> SetBoolean;

  // "DestDir.Text" is kept under "DestDir_Text".
  std::string ValueName() const;
};

class TFormStorage : public TComponent {
 public:
  // section: the window's class name.
  TFormStorage(TComponent* owner, QWidget* form, std::string section);
  ~TFormStorage() override;

  // "Software/" + the running program's file name without folder and extension.
  static std::string DefaultKeyPath();
  const std::string& Section() const { return section_; }
  int Version() const { return 0; }
  TSettingsStore& Store() { return *store_; }
  TSecretStore& Secrets() { return *secrets_; }
  // Where a secret property is kept in the secret store: one entry per
  // settings file, so two configurations never share a password.
  std::string SecretKey(const TStoredProp& prop) const;

  void AddStoredProp(TStoredProp prop) { props_.push_back(std::move(prop)); }
  const std::vector<TStoredProp>& StoredProps() const { return props_; }

  // Raises EVizuError "Invalid data type for '<name>'" when a placement value
  // is not a string; stored properties that cannot be restored are skipped.
  // A secret property takes the secret store's copy, else the file's.
  void Restore();
  // Raises "Failed to create key <section>" when the store cannot be written.
  // visible is the "Visible" value: false at a close request, true while the
  // window is destroyed. A secret property goes to the secret store and
  // leaves the file, or to the file when no secret service exists. When one
  // exists but cannot be asked (locked, refused, slow, switched off), the
  // secret goes nowhere: the store keeps its last copy and the file gets
  // none (a copy already there stays as it was).
  void Save(bool visible);

  // The three moments of the window that the store follows.
  void FormShow();        // restore at the first show
  void FormCloseQuery();  // save
  void FormDestroy();     // save unless a save completed since the restore

  bool Restored() const { return restored_; }
  bool Saved() const { return saved_; }

  // Stored form of a number: general format, up to 18 significant digits,
  // "." as the decimal separator.
  static std::string FormatNumber(double value);
  // Characters up to and including the blank removed at both ends.
  static std::string TrimValue(const std::string& text);

 private:
  void RestorePlacement();
  // A placement value: true when it is there as a string; a value of
  // another type closes the key and raises "Invalid data type for '<name>'".
  bool ReadPlacementValue(const std::string& name, std::string& value);
  void SavePlacement(bool visible);
  std::string CurrentText(const TStoredProp& prop) const;
  void Assign(const TStoredProp& prop, const std::string& text);

  // What this run learnt about a secret property: where it lives (srOk once
  // the secret store answered, srNoService once none was found to exist,
  // srUnavailable while neither is known), and the value the window
  // started with.
  struct TSecretSeen {
    TSecretResult Place;
    std::string Restored;
  };
  void SaveSecret(const TStoredProp& prop, const std::string& value);

  QWidget* form_;
  std::string section_;
  std::map<std::string, TSecretSeen> secretsSeen_;
  std::unique_ptr<TSettingsStore> store_;
  std::unique_ptr<TSecretStore> secrets_;
  std::vector<TStoredProp> props_;
  bool restored_ = false;
  bool saved_ = false;
  bool shown_ = false;
};

}  // namespace Vizu2000
