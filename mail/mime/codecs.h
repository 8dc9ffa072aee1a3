#pragma once
// Content-transfer codecs (quoted-printable, base64, uuencode) and the
// encoded words of header values. Stateless; every function accepts any
// bytes. Only the uuencode decoders raise, see below.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/streams.h"

namespace Vizu2000 {

enum TEncodingType { etBase64, etQuotedPrintable, etNoEncoding, et7Bit };

// Body form (RFC 2045 section 6.7) cuts lines with soft breaks after 72
// columns and keeps CR LF line breaks, spaces and TABs, but escapes a space
// or TAB that would end a line or the text (=20, =09) and every CR or LF
// that is not part of a CR LF (=0D, =0A), so any bytes come back exactly.
// Header form escapes every byte up to 32, '"', '_' and '?' and never
// breaks lines.
std::string EncodeQuotedPrintable(std::string_view text, bool headerForm);
// Never fails: escapes that name no byte are kept literally.
std::string DecodeQuotedPrintable(std::string_view text);
// The same into output, which needs room for text.size() bytes (decoding
// never grows the text), any of which may be overwritten. Returns the bytes
// written.
size_t DecodeQuotedPrintable(std::string_view text, char* output);

// Replaces the output with the base64 form of the whole input, in lines of
// 76 characters each ended by CR LF; returns the output's size.
std::int64_t EncodeBASE64(TStream& output, TStream& input);
// The base64 form of bytes as one line without a line break (RFC 4648
// section 4), as protocols that carry base64 in a command want it.
std::string EncodeBASE64Line(std::string_view bytes);
// Decodes the whole groups of four characters in line; a trailing partial
// group (such as a line break) is ignored. output needs room for
// line.size() * 3 / 4 bytes, any of which may be overwritten. Returns the
// bytes written.
int DecodeLineBASE64(std::string_view line, char* output);
void DecodeLineBASE64(std::string_view line, std::string& appendTo);

// Decodes a whole base64 body as one stream (RFC 2045 section 6.8): line
// breaks, blanks and other characters outside the alphabet are skipped, a
// group may run across lines, padding ends a group, and a last incomplete
// group of 2 or 3 characters still yields its 1 or 2 bytes. output needs
// DecodedBASE64Room(text.size()) bytes, any of which may be overwritten.
// Returns the bytes written.
size_t DecodeBASE64(std::string_view text, char* output);
std::string DecodeBASE64(std::string_view text);
constexpr size_t DecodedBASE64Room(size_t textSize) { return textSize / 4 * 3 + 2; }

// Writes 45 bytes to output (bits the line does not supply are 0) and
// returns the count the line declares, 0 to 63; keep at most 45 of them.
// Raises EVizuError "UUCODE message format error" for a character outside
// the alphabet; nothing is written then.
int DecodeLineUUCODE(std::string_view line, char* output);
// Appends the bytes the line declares, at most 45.
void DecodeLineUUCODE(std::string_view line, std::string& appendTo);
// Replaces the output with the decoded data lines of text (cut at CR LF).
// Raises like DecodeLineUUCODE; lines decoded before the bad one stay.
bool DecodeUUCODE(std::string_view text, TStream& output);

// The text itself when every byte is printable ASCII (32..127), otherwise
// Q encoded words in the given character set (RFC 2047): each at most 75
// characters and holding whole characters (a UTF-8 sequence is never split),
// separated by one space where the header folder may break the line.
// lineUsed counts the characters of the header line before the text (9 for
// "Subject: "), so that the first word's line also stays within 76.
std::string EncodeLine7Bit(std::string_view text, std::string_view charset, size_t lineUsed = 0);
// Decodes the encoded words of a header text, bytes taken as they are, in
// one pass: a decoded word is final text, even where it holds "=?...?="
// itself. Blanks between two adjacent encoded words are dropped (RFC 2047
// section 6.2). Raises the uuencode error for a malformed "U" word.
std::string DecodeLine7Bit(std::string_view text);
// The same as DecodeLine7Bit; kept for the callers that name it.
std::string DecodeLine7BitOnce(std::string_view text);

}  // namespace Vizu2000
