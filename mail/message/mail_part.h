#pragma once
// One node of a MIME message tree: its header fields, its body as it travels,
// the decoded content and its child parts. The message object is the root.
#include <string>
#include <string_view>
#include <vector>

#include "mail/mime/codecs.h"
#include "mail/mime/header_fields.h"
#include "platform/component.h"
#include "platform/streams.h"
#include "platform/string_list.h"

namespace Vizu2000 {

class TMailPart;
class TVeraDudurur2000;
struct TDashLines;

// A header value as every setter writes it. A CR LF followed by a space or
// tab is folding and stays (RFC 5322 section 2.2.3); any other CR or LF
// would end the field and let the text start one of its own, and NUL is
// never allowed in a header (RFC 5322 section 3.2.3), so each is written as
// a space.
std::string SafeHeaderValue(std::string_view value);

// Refers to parts; never owns them.
class TMailPartList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  bool Empty() const { return items_.empty(); }
  // Raises EVizuError "List index out of bounds (<index>)".
  TMailPart* Get(int index) const;
  TMailPart* operator[](int index) const { return Get(index); }

  int Add(TMailPart* part);
  void Insert(int index, TMailPart* part);
  void Delete(int index);
  // Index of the part, or -1. Searches from the end, where recent parts are.
  int IndexOf(const TMailPart* part) const;
  // Deletes the part's entry if it is there; true when it was.
  bool Remove(const TMailPart* part);
  void Clear() { items_.clear(); }
  std::vector<TMailPart*>& Items() { return items_; }

  std::vector<TMailPart*>::const_iterator begin() const { return items_.begin(); }
  std::vector<TMailPart*>::const_iterator end() const { return items_.end(); }

 private:
  std::vector<TMailPart*> items_;
};

class TMailPart : public TComponent {
 public:
  explicit TMailPart(TComponent* owner);
  // Destroys the children (and their subtrees) first; leaves the parent's
  // list and the owner message's classification without this part.
  ~TMailPart() override;

  // Fields. The non-const Header() and SubPartList() tell the owner message
  // that the tree may have changed, so its next restructuring looks at every
  // part again; a reference they return is meant for immediate use.
  TStringList& Header();
  const TStringList& Header() const { return header_; }
  TMemoryStream& Body() {
    Settle();
    return body_;
  }
  const TMemoryStream& Body() const;
  TMemoryStream& Decoded() { return decoded_; }
  const TMemoryStream& Decoded() const { return decoded_; }
  const std::string& ParentBoundary() const { return parentBoundary_; }
  void SetParentBoundary(std::string boundary);
  TVeraDudurur2000* OwnerMessage() const { return ownerMessage_; }
  void SetOwnerMessage(TVeraDudurur2000* message);
  TMailPartList& SubPartList();
  const TMailPartList& SubPartList() const { return subPartList_; }
  TMailPart* ParentPart() const { return parentPart_; }
  void SetParentPart(TMailPart* parent);
  bool IsDecoded() const { return isDecoded_; }
  void SetIsDecoded(bool value) { isDecoded_ = value; }
  bool IsEmbedded() const { return isEmbedded_; }
  void SetIsEmbedded(bool value);

  // Header fields; labels and parameter names match without regard to case.
  // A parameter read from its RFC 2231 form comes in the owner message's
  // Charset where every character converts, else in the bytes it was written
  // in; it is not unquoted or trimmed again.
  std::string GetLabelValue(std::string_view label) const;
  std::string GetLabelParamValue(std::string_view label, std::string_view param) const;
  // An empty value deletes the first field with that label.
  void SetLabelValue(std::string_view label, std::string_view value);
  void SetLabelParamValue(std::string_view label, std::string_view param, std::string_view value);
  // The parameter in every form taken out and written again for a UTF-8
  // value: quoted when it can be, else in the RFC 2231 form (WriteLabelParam).
  void SetLabelParamText(std::string_view label, std::string_view param, std::string_view utf8Value);
  bool LabelExists(std::string_view label) const;
  bool LabelParamExists(std::string_view label, std::string_view param) const;
  std::string GetAttachInfo() const;
  std::string GetBoundary() const;
  std::string GetFileName() const;

  // Header, empty line, body.
  std::string GetSource() const;
  // The header and the empty line, as GetSource writes them.
  std::string HeaderSource() const;
  // Leaves the stream holding exactly GetSource(); stream errors pass through.
  void SaveToStream(TStream& stream) const;
  // Writes GetSource() with every line ended by CR LF; raises
  // "Cannot create file <name>" when the file cannot be made.
  void SaveToFile(const std::string& fileName) const;

  // Fills Decoded from Body once per Fill; always true. Raises
  // "UUCODE message format error" for a malformed uuencoded body and leaves
  // the part as it was.
  bool Decode();
  // etNoEncoding and et7Bit write the content as it stands when it can go
  // so (lines within 998 ended by CR LF, no NUL, and for 7bit no 8-bit
  // byte), else it is written quoted-printable.
  void Encode(TEncodingType encoding);
  void EncodeText();
  void EncodeBinary();
  // Detaches the part from its parent without destroying it.
  void Remove();

  // Parser. Fill replaces everything but ParentPart, OwnerMessage and
  // ParentBoundary. Raises "<name>: TMailPart must be owned by a
  // TVeraDudurur2000" without an owner message. A uuencoded block whose data
  // does not decode is left as text.
  void Fill(std::string_view text, bool withHeader);
  void SetSource(std::string_view text) { Fill(text, true); }
  // SetSource without a copy of the text: the parts' bodies are pieces of
  // the string taken over.
  void TakeSource(std::string text);
  // Reads the stream's whole content from its start.
  void LoadFromStream(TStream& stream);
  // Reads the file as lines (CR LF, LF or CR) and joins them with CR LF.
  void LoadFromFile(const std::string& fileName);

 protected:
  // Destroys every descendant without recursion; SubPartList ends empty.
  void DestroySubParts();

 private:
  friend class TVeraDudurur2000;
  friend class TMailParser;

  // Parses the whole block; the bodies become pieces of it. `lines` are
  // the block's dash lines.
  void FillBlock(TSharedBlock block, TDashLines&& lines, bool withHeader);
  // A message whose rebuilt body is still pending assembles it now, before
  // a part of its tree changes or the body itself is read.
  void Settle() const;
  enum TChange {
    chFields,  // the part's header fields
    chTree,    // its place, its children or its attributes
  };
  // Every change to a part passes here before it is made: see the rule at
  // TVeraDudurur2000::changes_.
  void Touch(TChange change);
  // The parameter as the accessors above give it; `charset` names what the
  // bytes of an RFC 2231 value are in after conversion (empty when unknown).
  TParamValue ReadParam(std::string_view label, std::string_view param) const;
  // The field of that label, added empty when the part has none; for a
  // setter to write at once.
  std::string& FieldToWrite(std::string_view label);
  // Writes the Content-Transfer-Encoding field, every other copy dropped;
  // an empty value drops them all.
  void SetTransferEncoding(std::string_view value);

  TStringList header_;
  TMemoryStream body_;
  TMemoryStream decoded_;
  std::string parentBoundary_;
  TVeraDudurur2000* ownerMessage_ = nullptr;
  TMailPartList subPartList_;
  TMailPart* parentPart_ = nullptr;
  bool isDecoded_ = false;
  bool isEmbedded_ = false;
  // The file name, lower-cased, as the owner message's attachment names
  // took it; it holds only while they are valid. Kept here rather than in
  // their list so that taking an entry off the list moves hashes only.
  std::string listedName_;
};

}  // namespace Vizu2000
