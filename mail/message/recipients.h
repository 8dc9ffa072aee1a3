#pragma once
// One address field of a message ("To", "Cc", "Bcc") seen as two parallel
// lists, display names and addresses. The header field stays the truth: the
// lists are a parsed copy, refreshed whenever the field's text has changed,
// and every edit is written back to the field at once.
#include <string>
#include <string_view>

#include "platform/string_list.h"

namespace Vizu2000 {

class TMailPart;

class TMailRecipients {
 public:
  // The part is not owned and must outlive the lists.
  TMailRecipients(TMailPart* message, std::string fieldLabel);
  TMailRecipients(const TMailRecipients&) = delete;
  TMailRecipients& operator=(const TMailRecipients&) = delete;

  TMailPart* Message() const { return message_; }
  const std::string& FieldLabel() const { return fieldLabel_; }

  // The display names and the addresses, entry i of both describing
  // recipient i; read from the field first when it has changed.
  const TStringList& Names();
  const TStringList& Addresses();

  int GetCount();
  // Index errors raise EVizuError "List index out of bounds (<index>)" and
  // change nothing.
  std::string GetName(int index);
  std::string GetAddress(int index);
  void SetName(int index, std::string_view name);
  void SetAddress(int index, std::string_view address);
  // First entry that begins with the text, ASCII case ignored; -1 if none.
  int FindName(std::string_view text);
  int FindAddress(std::string_view text);
  // The list as comma text; entries with a space, a control character, a
  // double quote or a comma are quoted, inner quotes doubled.
  std::string GetAllNames();
  std::string GetAllAddresses();
  // Replaces both lists from comma texts; items are separated by commas,
  // spaces or control characters unless quoted. Names are padded or cut to
  // the number of addresses.
  void SetAll(std::string_view names, std::string_view addresses);
  void AddNamesTo(TStringList& list);
  void AddAddressesTo(TStringList& list);
  void Add(std::string_view name, std::string_view address);
  void Replace(int index, std::string_view name, std::string_view address);
  void Delete(int index);
  // Removes every recipient and the field.
  void Clear();

 private:
  void HeaderToStrings();
  void StringsToHeader();
  void RememberField();
  void CheckIndex(int index) const;
  std::string Charset() const;

  TMailPart* message_;
  std::string fieldLabel_;
  TStringList names_;
  TStringList addresses_;
  // The field's whole header entry when the lists were last read or written.
  bool seen_ = false;
  bool seenPresent_ = false;
  std::string seenField_;
};

}  // namespace Vizu2000
