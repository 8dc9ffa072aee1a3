#include "mail/message/recipients.h"

#include "mail/message/mail_message.h"
#include "mail/message/mail_part.h"
#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"
#include "platform/error.h"
#include "platform/text_chars.h"

namespace Vizu2000 {

namespace {

// Spaces and control characters separate comma-text items.
constexpr auto IsSeparator = IsCtlOrSpace;

std::string WriteCommaText(const TStringList& list) {
  if (list.Count() == 1 && list[0].empty()) return "\"\"";
  std::string result;
  for (int k = 0; k < list.Count(); ++k) {
    if (k) result.push_back(',');
    const std::string& entry = list[k];
    bool quote = false;
    for (char c : entry)
      if (IsSeparator(c) || c == '"' || c == ',') quote = true;
    if (!quote) {
      result += entry;
      continue;
    }
    result.push_back('"');
    for (char c : entry) {
      if (c == '"') result.push_back('"');
      result.push_back(c);
    }
    result.push_back('"');
  }
  return result;
}

void ReadCommaText(std::string_view text, TStringList& list) {
  list.Clear();
  // Read as if one comma followed the text, so "a," gives two items and ""
  // gives one empty item.
  std::string t(text);
  t.push_back(',');
  size_t n = t.size(), i = 0;
  while (i < n && IsSeparator(t[i])) ++i;
  while (i < n) {
    std::string item;
    if (t[i] == '"') {
      bool closed = false;
      for (++i; i < n;) {
        if (t[i] == '"') {
          if (i + 1 < n && t[i + 1] == '"') {
            item.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        item.push_back(t[i++]);
      }
      // An unclosed quote ran into the comma added above; it was never written.
      if (!closed) item.pop_back();
    } else {
      size_t start = i;
      while (i < n && !IsSeparator(t[i]) && t[i] != ',') ++i;
      item.assign(t, start, i - start);
    }
    list.Add(std::move(item));
    while (i < n && IsSeparator(t[i])) ++i;
    if (i < n && t[i] == ',') {
      ++i;
      while (i < n && IsSeparator(t[i])) ++i;
    }
  }
}

std::string DecodeName(const std::string& name) {
  // A malformed encoded word must not make a field unreadable: keep it raw.
  try {
    return DecodeLine7Bit(name);
  } catch (const EVizuError&) {
    return name;
  }
}

}  // namespace

TMailRecipients::TMailRecipients(TMailPart* message, std::string fieldLabel)
    : message_(message), fieldLabel_(std::move(fieldLabel)) {}

std::string TMailRecipients::Charset() const {
  TVeraDudurur2000* owner = message_ ? message_->OwnerMessage() : nullptr;
  return owner ? owner->Charset() : std::string("iso-8859-1");
}

void TMailRecipients::RememberField() {
  seen_ = true;
  int index = message_ ? SearchStringList(&message_->Header(), fieldLabel_ + ":", 0) : -1;
  seenPresent_ = index >= 0;
  seenField_ = seenPresent_ ? message_->Header()[index] : std::string();
}

void TMailRecipients::HeaderToStrings() {
  if (!message_) return;
  // The field's own text is the key, so any change to it is seen, even one
  // that leaves the header's length as it was.
  int index = SearchStringList(&message_->Header(), fieldLabel_ + ":", 0);
  if (seen_ && seenPresent_ == (index >= 0) &&
      (index < 0 || message_->Header()[index] == seenField_))
    return;
  std::string value = TrimSpace(message_->GetLabelValue(fieldLabel_));
  RememberField();
  names_.Clear();
  addresses_.Clear();

  bool quoted = false, namePhase = true;
  std::string name, address;
  auto endEntry = [&] {
    if (namePhase) {
      names_.Add(std::string());
      addresses_.Add(TrimSpace(name));
    } else {
      names_.Add(DecodeName(TrimSpace(name)));
      addresses_.Add(TrimSpace(address));
    }
    name.clear();
    address.clear();
    namePhase = true;
  };
  for (char c : value) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && (c == ',' || c == ';')) {
      endEntry();
      continue;
    }
    if (namePhase) {
      if (quoted || (c != '<' && c != '>')) name.push_back(c);
    } else if (!quoted && c != ' ' && c != '<' && c != '>') {
      address.push_back(c);
    }
    if (!quoted && c == '<') namePhase = false;
  }
  if (!value.empty()) endEntry();
}

void TMailRecipients::StringsToHeader() {
  if (!message_) return;
  if (addresses_.Count() == 0) {
    // Every copy goes: a second field left behind would hold recipients that
    // the empty lists deny.
    while (message_->LabelExists(fieldLabel_)) message_->SetLabelValue(fieldLabel_, "");
    RememberField();
    return;
  }
  std::string charset = Charset();
  std::string value;
  for (int i = 0; i < addresses_.Count(); ++i) {
    if (i) value += ", ";
    std::string name = TrimSpace(names_[i]);
    if (!name.empty()) {
      value += '"';
      // A double quote would end the quoted name early and spill the rest
      // into the address; as an encoded word it is escaped.
      if (name.find('"') == std::string::npos)
        value += EncodeLine7Bit(name, charset);
      else
        value += "=?" + charset + "?Q?" + EncodeQuotedPrintable(name, true) + "?=";
      value += "\" ";
    }
    value += '<';
    // A line break in an address would start a header field of its own.
    for (char c : TrimSpace(addresses_[i]))
      if (c != '\r' && c != '\n') value += c;
    value += '>';
  }
  message_->SetLabelValue(fieldLabel_, value);
  RememberField();
}

void TMailRecipients::CheckIndex(int index) const {
  if (index < 0 || index >= addresses_.Count())
    throw EVizuError("List index out of bounds (" + std::to_string(index) + ")");
}

const TStringList& TMailRecipients::Names() {
  HeaderToStrings();
  return names_;
}

const TStringList& TMailRecipients::Addresses() {
  HeaderToStrings();
  return addresses_;
}

int TMailRecipients::GetCount() {
  HeaderToStrings();
  return addresses_.Count();
}

std::string TMailRecipients::GetName(int index) {
  HeaderToStrings();
  CheckIndex(index);
  return names_[index];
}

std::string TMailRecipients::GetAddress(int index) {
  HeaderToStrings();
  CheckIndex(index);
  return addresses_[index];
}

void TMailRecipients::SetName(int index, std::string_view name) {
  HeaderToStrings();
  CheckIndex(index);
  names_.SetString(index, std::string(name));
  StringsToHeader();
}

void TMailRecipients::SetAddress(int index, std::string_view address) {
  HeaderToStrings();
  CheckIndex(index);
  addresses_.SetString(index, std::string(address));
  StringsToHeader();
}

int TMailRecipients::FindName(std::string_view text) {
  HeaderToStrings();
  return SearchStringList(&names_, text, 0);
}

int TMailRecipients::FindAddress(std::string_view text) {
  HeaderToStrings();
  return SearchStringList(&addresses_, text, 0);
}

std::string TMailRecipients::GetAllNames() {
  HeaderToStrings();
  return WriteCommaText(names_);
}

std::string TMailRecipients::GetAllAddresses() {
  HeaderToStrings();
  return WriteCommaText(addresses_);
}

void TMailRecipients::SetAll(std::string_view names, std::string_view addresses) {
  ReadCommaText(names, names_);
  ReadCommaText(addresses, addresses_);
  seen_ = false;
  while (names_.Count() < addresses_.Count()) names_.Add(std::string());
  while (names_.Count() > addresses_.Count()) names_.Delete(names_.Count() - 1);
  StringsToHeader();
}

void TMailRecipients::AddNamesTo(TStringList& list) {
  HeaderToStrings();
  for (const std::string& name : names_) list.Add(name);
}

void TMailRecipients::AddAddressesTo(TStringList& list) {
  HeaderToStrings();
  for (const std::string& address : addresses_) list.Add(address);
}

void TMailRecipients::Add(std::string_view name, std::string_view address) {
  HeaderToStrings();
  names_.Add(std::string(name));
  addresses_.Add(std::string(address));
  StringsToHeader();
}

void TMailRecipients::Replace(int index, std::string_view name, std::string_view address) {
  HeaderToStrings();
  CheckIndex(index);
  names_.SetString(index, std::string(name));
  addresses_.SetString(index, std::string(address));
  StringsToHeader();
}

void TMailRecipients::Delete(int index) {
  HeaderToStrings();
  CheckIndex(index);
  names_.Delete(index);
  addresses_.Delete(index);
  StringsToHeader();
}

void TMailRecipients::Clear() {
  names_.Clear();
  addresses_.Clear();
  StringsToHeader();
}

}  // namespace Vizu2000
