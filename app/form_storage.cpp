#include "app/form_storage.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/error.h"
#include "platform/int_conv.h"
#include "platform/secret_store.h"
#include "platform/settings_store.h"
#include "platform/string_list.h"

namespace Vizu2000 {

namespace {

struct TScreenInfo {
  int width = 0;
  int height = 0;
  int pixelsPerInch = 96;
};

TScreenInfo ScreenOf(QWidget* form) {
  TScreenInfo info;
  QScreen* screen = form->screen();
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) {
    info.width = screen->geometry().width();
    info.height = screen->geometry().height();
    info.pixelsPerInch = qRound(screen->logicalDotsPerInch());
  }
  return info;
}

std::string SizeSuffix(const TScreenInfo& screen) {
  char suffix[48];
  std::snprintf(suffix, sizeof suffix, "(%dx%d)", screen.width, screen.height);
  return suffix;
}

std::string FourNumbers(int a, int b, int c, int d) {
  char text[64];
  std::snprintf(text, sizeof text, "%d,%d,%d,%d", a, b, c, d);
  return text;
}

// Numbers separated by commas or blanks; a missing or bad one takes its default.
void ParseFour(const std::string& text, int (&values)[4]) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + ",") {
    if (c == ',' || c == ' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  for (size_t i = 0; i < 4 && i < words.size(); ++i) values[i] = StrToIntDef(words[i], values[i]);
}

bool ParseNumber(const std::string& text, double& value) {
  std::string_view digits = text;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return false;
  double parsed = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
  if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(parsed))
    return false;
  value = parsed;
  return true;
}

}  // namespace

std::string TStoredProp::ValueName() const {
  std::string name = Entry;
  for (char& c : name)
    if (c == '.') c = '_';
  return name;
}

TFormStorage::TFormStorage(TComponent* owner, QWidget* form, std::string section)
    : TComponent(owner),
      form_(form),
      section_(std::move(section)),
      store_(std::make_unique<TSettingsStore>(DefaultKeyPath())),
      secrets_(std::make_unique<TSecretStore>("Quenwick")) {}

TFormStorage::~TFormStorage() = default;

std::string TFormStorage::DefaultKeyPath() {
  QString program = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  if (program.isEmpty()) program = "quenwick";
  return "Software/" + program.toStdString();
}

std::string TFormStorage::SecretKey(const TStoredProp& prop) const {
  return store_->FileName() + " [" + section_ + "] " + prop.ValueName();
}

std::string TFormStorage::FormatNumber(double value) {
  char text[64];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, 18);
  return ec == std::errc() ? std::string(text, end) : "0";
}

std::string TFormStorage::TrimValue(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.substr(first, last - first);
}

std::string TFormStorage::CurrentText(const TStoredProp& prop) const {
  switch (prop.Kind) {
    case skText:
      return prop.GetText();
    case skNumber:
      return FormatNumber(prop.GetNumber());
    case skBoolean:
      return prop.GetBoolean() ? "True" : "False";
  }
  return {};
}

void TFormStorage::Assign(const TStoredProp& prop, const std::string& text) {
  switch (prop.Kind) {
    case skText:
      prop.SetText(text);
      break;
    case skNumber: {
      double value = 0;
      if (!ParseNumber(text, value)) throw EVizuError("'" + text + "' is not a valid floating point value");
      prop.SetNumber(value);
      break;
    }
    case skBoolean:
      if (SameText(text, "False"))
        prop.SetBoolean(false);
      else if (SameText(text, "True"))
        prop.SetBoolean(true);
      break;
  }
}

bool TFormStorage::ReadPlacementValue(const std::string& name, std::string& value) {
  const TValueKind kind = store_->ReadValue(section_, name, value);
  if (kind == vkOtherType) {
    store_->CloseKey();
    throw EVizuError("Invalid data type for '" + name + "'");
  }
  return kind == vkString;
}

void TFormStorage::Restore() {
  saved_ = false;
  TSettingsStore& store = *store_;
  store.OpenKeyReadOnly();
  std::string text;
  const int version = ReadPlacementValue("FormVersion", text) ? StrToIntDef(text, 0) : 0;
  if (version >= Version()) {
    RestorePlacement();
    for (const TStoredProp& prop : props_) {
      try {
        std::string value;
        TValueKind kind = store.ReadValue(section_, prop.ValueName(), value);
        if (prop.Secret) {
          // The secret store's copy wins: a copy in the file is an older
          // program's or a hand edit's, or was written when no store existed.
          std::string kept;
          const TSecretResult answer = secrets_->Load(SecretKey(prop), kept);
          secretsSeen_[prop.ValueName()].Place = answer == srNotFound ? srOk : answer;
          if (answer == srOk) {
            value = kept;
            kind = vkString;
          }
        }
        if (kind == vkMissing) value = CurrentText(prop);
        if (kind != vkOtherType) Assign(prop, TrimValue(value));
      } catch (const std::exception&) {
        // A setting that cannot be restored keeps its value.
      }
      if (prop.Secret) secretsSeen_[prop.ValueName()].Restored = TrimValue(CurrentText(prop));
    }
  }
  restored_ = true;
  store.CloseKey();
}

void TFormStorage::RestorePlacement() {
  auto read = [this](const std::string& name, std::string& value) { return ReadPlacementValue(name, value); };
  const TScreenInfo screen = ScreenOf(form_);
  const QRect current = form_->geometry();

  std::string text;
  read("Flags", text);

  auto readFour = [&](const std::string& name, int (&values)[4]) {
    std::string value;
    bool found = read(name + SizeSuffix(screen), value) && !value.empty();
    if (!found) found = read(name, value) && !value.empty();
    if (found) ParseFour(value, values);
    return found;
  };
  int minMax[4] = {0, 0, 0, 0};
  int norm[4] = {current.left(), current.top(), current.left() + current.width(),
                 current.top() + current.height()};
  const bool minMaxFound = readFour("MinMaxPos", minMax);
  const bool normFound = readFour("NormPos", norm);

  int pixelsPerInch = screen.pixelsPerInch;
  if (read("PixelsPerInch", text)) pixelsPerInch = StrToIntDef(text, screen.pixelsPerInch);

  if ((minMaxFound || normFound) && pixelsPerInch == screen.pixelsPerInch && norm[0] < norm[2])
    form_->setGeometry(norm[0], norm[1], norm[2] - norm[0], std::max(0, norm[3] - norm[1]));

  int showCmd = 0;
  if (read("ShowCmd", text)) showCmd = StrToIntDef(text, 0);
  switch (showCmd) {
    case 2:
    case 6:
    case 7:
      form_->setWindowState(Qt::WindowMinimized);
      break;
    case 3:
      form_->setWindowState(Qt::WindowMaximized);
      break;
    default:
      form_->setWindowState(Qt::WindowNoState);
      break;
  }
}

void TFormStorage::SavePlacement(bool visible) {
  TSettingsStore& store = *store_;
  const TScreenInfo screen = ScreenOf(form_);
  const QRect normal = form_->isMaximized() || form_->isMinimized() ? form_->normalGeometry()
                                                                    : form_->geometry();
  const int showCmd = form_->isMinimized() ? 2 : form_->isMaximized() ? 3 : 1;
  const std::string minMax = FourNumbers(-1, -1, -1, -1);
  const std::string norm = FourNumbers(normal.left(), normal.top(), normal.left() + normal.width(),
                                       normal.top() + normal.height());
  store.WriteString(section_, "Flags", "0");
  store.WriteString(section_, "ShowCmd", std::to_string(showCmd));
  store.WriteString(section_, "PixelsPerInch", std::to_string(screen.pixelsPerInch));
  store.WriteString(section_, "MinMaxPos" + SizeSuffix(screen), minMax);
  store.WriteString(section_, "MinMaxPos", minMax);
  store.WriteString(section_, "NormPos" + SizeSuffix(screen), norm);
  store.WriteString(section_, "NormPos", norm);
  store.WriteString(section_, "Visible", visible ? "1" : "0");
}

void TFormStorage::Save(bool visible) {
  if (!restored_) return;
  TSettingsStore& store = *store_;
  if (!store.OpenKeyForWrite()) throw EVizuError("Failed to create key " + section_);
  store.WriteString(section_, "FormVersion", std::to_string(Version()));
  SavePlacement(visible);
  for (const TStoredProp& prop : props_) {
    const std::string value = TrimValue(CurrentText(prop));
    if (prop.Secret)
      SaveSecret(prop, value);
    else
      store.WriteString(section_, prop.ValueName(), value);
  }
  if (!store.CloseKey()) throw EVizuError("Failed to create key " + section_);
  saved_ = true;
}

void TFormStorage::SaveSecret(const TStoredProp& prop, const std::string& value) {
  const std::string name = prop.ValueName();
  auto seen = secretsSeen_.find(name);
  if (seen == secretsSeen_.end()) seen = secretsSeen_.emplace(name, TSecretSeen{srUnavailable, {}}).first;
  TSecretSeen& secret = seen->second;
  // The store could not be read at the start, so the window began without
  // its copy: an unchanged value is no news, and writing it would overwrite
  // the copy that was never seen.
  if (secret.Place == srUnavailable && value == secret.Restored) return;
  switch (secrets_->Save(SecretKey(prop), value)) {
    case srOk:
      secret.Place = srOk;
      store_->DeleteValue(section_, name);
      return;
    case srNoService:
      secret.Place = srNoService;
      store_->WriteString(section_, name, value);
      return;
    case srNotFound:
    case srUnavailable:
      // Asked and found absent earlier in this run (the store switched off
      // as the display went away): the file is still where it lives.
      if (secret.Place == srNoService) store_->WriteString(section_, name, value);
      return;
  }
}

void TFormStorage::FormShow() {
  if (shown_) return;
  shown_ = true;
  Restore();
}

void TFormStorage::FormCloseQuery() {
  Save(false);
}

void TFormStorage::FormDestroy() {
  if (!saved_) Save(true);
}

}  // namespace Vizu2000
