#pragma once
// The message object: the root part of its tree, the classification of the
// tree's parts (text bodies, containers, attachments), the recipient lists,
// and the assembly of a multipart body from its parts.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/message/mail_part.h"
#include "mail/message/received.h"
#include "mail/message/recipients.h"
#include "platform/events.h"

namespace Vizu2000 {

// What Normalize is about to make room for.
enum TNormalizer {
  nrFirst,        // restructure only a parsed message, once after each Fill
  nrForce,        // restructure now
  nrAddText,      // restructure now, counting one more text body
  nrAddAttach,    // restructure now, counting one more attachment
  nrAddEmbedded,  // restructure now, counting one more embedded attachment
};

class TVeraDudurur2000 : public TMailPart {
 public:
  explicit TVeraDudurur2000(TComponent* owner);
  ~TVeraDudurur2000() override;

  // Collects AttachList, the text parts, the containers and the text line
  // lists while NeedFindParts is set. Decoding errors of text parts pass on.
  void FindParts();
  // Regenerates the body of a multipart message from its parts and sets
  // Content-Length, while NeedRebuild is set.
  void RebuildBody();
  // Empties the message; Charset, TextEncoding, OnProgress and the recipient
  // lists stay.
  void Reset();

  // Composing. Each operation keeps the classification (AttachList, the text
  // and container parts) up to date itself and leaves NeedRebuild set.

  // Rebuilds the regular shape: mixed (attachments beside other content),
  // related (embedded parts), alternative (two texts), no container where one
  // part suffices. Every leaf with content survives; only containers and
  // preambles are remade.
  void Normalize(TNormalizer mode);
  // Sets a text body. textPart is TextPlainPart() or TextHTMLPart().
  void PutText(std::string_view text, TMailPart*& textPart, std::string_view contentType);
  void SetTextPlain(std::string_view text);
  void SetTextHTML(std::string_view text);
  void RemoveText(TMailPart*& textPart);
  void RemoveTextPlain();
  void RemoveTextHTML();

  // Attachments are named after the text after the last "/" of fileName. An
  // empty content type is looked up by the name's extension. Embedded parts
  // go under multipart/related with a Content-ID of "<name>".
  // AttachFile raises EVizuError naming the file when it cannot be read; the
  // message is then unchanged.
  void AttachFile(const std::string& fileName, std::string_view contentType,
                  TEncodingType encoding, bool embedded);
  void AttachString(std::string_view content, std::string_view fileName,
                    std::string_view contentType, TEncodingType encoding, bool embedded);
  void AttachStream(TStream& stream, std::string_view fileName, std::string_view contentType,
                    TEncodingType encoding, bool embedded);
  // Removes the first attachment whose file name equals the name part of
  // fileName, case ignored. Raises "<Name>: Attachment filename not found
  // <fileName>" when there is none.
  void DetachFile(std::string_view fileName);
  // Raises "<Name>: Attachment index not found" outside 0 .. count - 1.
  void DetachFileIndex(int index);
  // The first attachment whose file name equals the whole of fileName, case
  // ignored, or nullptr.
  TMailPart* GetAttach(std::string_view fileName);

  // Published.
  const std::string& Charset() const { return charset_; }
  void SetCharset(std::string charset) { charset_ = std::move(charset); }
  TEncodingType TextEncoding() const { return textEncoding_; }
  void SetTextEncoding(TEncodingType encoding) { textEncoding_ = encoding; }
  // Reported while a message text is parsed: (Sender, Total, Current).
  TProgressEvent OnProgress;

  // Classification, valid after FindParts.
  const TMailPartList& AttachList() const { return attachList_; }
  const TStringList& TextPlain() const { return textPlain_; }
  const TStringList& TextHTML() const { return textHTML_; }
  TMailPart* TextPlainPart() const { return textPlainPart_; }
  TMailPart* TextHTMLPart() const { return textHTMLPart_; }
  // The fields themselves, for PutText and RemoveText.
  TMailPart*& TextPlainPart() { return textPlainPart_; }
  TMailPart*& TextHTMLPart() { return textHTMLPart_; }
  TMailPart* MixedPart() const { return mixedPart_; }
  TMailPart* RelatedPart() const { return relatedPart_; }
  TMailPart* AlternativePart() const { return alternativePart_; }
  TMailPart* ContainerPart() const { return containerPart_; }
  int FileCounter() const { return fileCounter_; }

  bool NeedRebuild() const { return needRebuild_; }
  bool NeedNormalize() const { return needNormalize_; }
  bool NeedFindParts() const { return needFindParts_; }

  // Recipient lists bound to "To", "Cc" and "Bcc"; they stay across Reset.
  TMailRecipients& ToList() { return toList_; }
  TMailRecipients& CcList() { return ccList_; }
  TMailRecipients& BccList() { return bccList_; }

  // Header accessors. Each reads or writes the current Header, one whole
  // field per entry as Fill leaves it; nothing is cached. Reading never
  // raises (a broken encoded word comes back as written) and writing never
  // puts a line break into a field. Labels are given without the colon.

  // Display name and address of the index-th entry (0-based) of an address
  // field; an entry without an angle address has no display name.
  std::string GetDestName(std::string_view label, int index) const;
  std::string GetDestAddress(std::string_view label, int index) const;
  std::string GetFromName() const { return GetDestName("From", 0); }
  std::string GetFromAddress() const { return GetDestAddress("From", 0); }
  std::string GetReplyToName() const { return GetDestName("Reply-To", 0); }
  std::string GetReplyToAddress() const { return GetDestAddress("Reply-To", 0); }
  // An empty address deletes the field.
  void SetFrom(std::string_view name, std::string_view address);
  void SetReplyTo(std::string_view name, std::string_view address);

  std::string GetSubject() const;
  // An empty text deletes the field.
  void SetSubject(std::string_view text);

  // Local time of the Date field; 0 when it is missing or unreadable.
  TDateTime GetDate() const;
  std::string GetDateRaw() const;
  // Takes local time.
  void SetDate(TDateTime localDateTime);

  std::string GetMessageId() const;
  // Writes a new "<time.random.random@domain>" identifier.
  void SetMessageId(std::string_view domain);

  // Trace hops, 0 = topmost. GetReceived raises EVizuError "List index out
  // of bounds (<index>)" for an index outside 0 .. GetReceivedCount() - 1.
  int GetReceivedCount() const;
  TReceived GetReceived(int index) const;
  // Puts a new hop dated now above every other field; empty texts are left
  // out.
  void AddHop(std::string_view from, std::string_view by, std::string_view with,
              std::string_view forAddress);

 private:
  friend class TMailPart;
  friend class TMailParser;

  // Drops every reference the classification holds to the given parts;
  // they are about to be destroyed. `sorted` is ordered by address.
  void ForgetParts(const std::vector<TMailPart*>& sorted);
  void ClearClassification();
  // Builds the body RebuildBody left pending; nothing when none is.
  void AssemblePendingBody();
  // Gives every container a boundary that is one and that no text among
  // its children holds as a line start; before the body is measured.
  void SettleBoundaries();
  // Writes the header and the pending body into the stream in one pass, as
  // SaveToStream would write them once assembled.
  void SavePendingTo(TMemoryStream& stream, std::string head) const;
  // The one writer of changes_.
  void CountChange() { ++changes_; }
  void MarkFilled() {
    needRebuild_ = needNormalize_ = needFindParts_ = true;
    madeIntoContainer_ = false;
    CountChange();
  }
  // Normalize's fast path holds while the tree is exactly what a full
  // restructuring would make of it, boundary values aside: nothing outside
  // this class's own operations has changed a part since it was left so.
  bool ShapeIsNormal() const { return normalAt_ == changes_; }
  void MarkNormal() { normalAt_ = changes_; }
  bool ShapeFits(TNormalizer mode) const;
  void NormalizeFully(TNormalizer mode);
  void NormalizeInPlace();
  // The steps of NormalizeFully, in its order.
  struct TContainer;
  struct TContainers;
  void AttachUnsplitContainers();
  void LiftOwnContent();
  // Every restructuring: the message's own content fields go,
  // "Mime-Version" and "X-Mailer" are set.
  void ResetContentFields();
  void UnhookTextsAndAttachments();
  std::vector<TMailPart*> CutOffLeftovers();
  TContainers MakeContainers(TNormalizer mode);
  void PlaceText(TMailPart*& slot, const char* type, const TContainer& inner);
  int PlaceAttachments(const TContainers& made);
  std::string CompleteAttachmentFields(TMailPart* part);
  void DestroyOldTree(const std::vector<TMailPart*>& leftovers);
  void AdoptContainers(const TContainers& made, int embedded);
  void DropBodyUnlessContent();
  static void PutInto(TMailPart* part, const TContainer& container);
  // The part's content becomes the message's, written in the encoding; a
  // content that cannot be decoded is taken as it stands, with its transfer
  // encoding.
  void TakeContentOf(TMailPart* part, TEncodingType encoding);
  // Makes the message itself the given text part's content; the part is
  // destroyed.
  void TakeOverText(TMailPart*& slot, const char* type);
  // A new empty part owned by the message, appended to parent when given.
  TMailPart* NewPart(TMailPart* parent, const std::string& parentBoundary);
  // Takes an attachment off the message and destroys it (or empties the
  // message when it is the attachment itself).
  void DropAttachment(TMailPart* part);
  void DetachAt(int index);
  // Index in AttachList of the first attachment whose file name, lower-
  // cased, is `lowered`; -1 when none is.
  int FindAttachment(std::string_view lowered);
  // Notes the part's name for the attachment names; returns its hash.
  static std::size_t ListName(TMailPart* part);
  void TakeAttachNames();
  // The message itself can be an attachment only as the only one, and
  // changes to its own fields are not counted: a list of one is never
  // trusted.
  bool AttachNamesValid() const {
    return attachList_.Count() > 1 && attachNamesAt_ == changes_ && attachNamesCharset_ == charset_;
  }
  void AttachBytes(std::string content, std::string_view fileName, std::string_view contentType,
                   TEncodingType encoding, bool embedded);
  // Throws when a progress handler tries to refill or reset the message
  // while it is being parsed.
  void CheckNotParsing(const char* what) const;
  void SetAddressField(std::string_view label, std::string_view name, std::string_view address);

  TMailPartList attachList_;
  TStringList textPlain_;
  TStringList textHTML_;
  TMailPart* textPlainPart_ = nullptr;
  TMailPart* textHTMLPart_ = nullptr;
  TMailPart* mixedPart_ = nullptr;
  TMailPart* relatedPart_ = nullptr;
  TMailPart* alternativePart_ = nullptr;
  TMailPart* containerPart_ = nullptr;
  std::string charset_ = "iso-8859-1";
  int fileCounter_ = 0;
  TEncodingType textEncoding_ = etQuotedPrintable;
  bool needRebuild_ = false;
  bool needNormalize_ = false;
  bool needFindParts_ = false;
  bool inProgressReport_ = false;

  // Changes to the tree, counted. Every change to a part (its fields, its
  // place, its children, its attributes) passes TMailPart::Touch, which
  // counts it here; the message's own operations on the whole tree (Fill,
  // Reset, forgetting destroyed parts, a full restructuring) count
  // themselves. Changes to the message's own header fields are not
  // counted: every restructuring rewrites them, and no cache describes
  // them. A cache of what the tree holds remembers the count it was taken
  // at and is valid exactly while the count is the same. An operation of
  // this class that keeps a cache true through changes of its own (it also
  // writes parts directly) takes the cache again at the new count.
  std::uint64_t changes_ = 0;
  static constexpr std::uint64_t kNever = ~std::uint64_t{0};
  // Cache: the count at which the shape was last left normal.
  std::uint64_t normalAt_ = kNever;
  // Embedded entries of AttachList, kept with the normal shape.
  int normalEmbedded_ = 0;
  // Cache: the hashes of the lower-cased file names of AttachList, in its
  // order, the names themselves in the parts (listedName_), so that finding
  // a name is a scan of one array instead of a visit to every part's
  // fields. A name read from an RFC 2231 parameter is converted to Charset,
  // so the names also remember the Charset they were taken under.
  std::vector<std::size_t> attachHashes_;
  std::uint64_t attachNamesAt_ = kNever;
  std::string attachNamesCharset_;

  // State, not caches. The last full restructuring since Fill or Reset
  // made the message a container: its body is assembled from its parts, or left over from
  // before, and is not content, even once the parts are gone.
  bool madeIntoContainer_ = false;
  // Set while RebuildBody has measured the body but not written it: saving
  // writes it straight into the destination, so a large message is not held
  // twice. Reading the body, or any change to the tree, writes it first.
  std::optional<size_t> pendingBodySize_;
  // The line starts of "--" lines in the text parsed last (complete lists
  // only), and the block that text lies in: a body that is still a piece
  // of that block holds no such line unless one is listed within it, so
  // settling the boundaries need not read it again. A block is never
  // written once shared, and the weak pointer tells when it is gone.
  std::weak_ptr<const TByteBlock> parsedBlock_;
  std::vector<size_t> parsedDashLines_;
  // Whether the body, as it stands, may hold a line that begins with "--".
  bool MayHoldDashLine(const TMemoryStream& body, const TByteBlock* parsed) const;
  bool destroying_ = false;
  TMailRecipients toList_{this, "To"};
  TMailRecipients ccList_{this, "Cc"};
  TMailRecipients bccList_{this, "Bcc"};
};

}  // namespace Vizu2000
