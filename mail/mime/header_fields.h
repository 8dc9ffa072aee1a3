#pragma once
// Header field syntax: one field held on one line (label, colon, value,
// parameters), trims, padding, field lookup and cutting texts into lines.
// Every function is total and never raises.
#include <string>
#include <string_view>

#include "platform/string_list.h"

namespace Vizu2000 {

// Only the space character (32) is trimmed; TAB and other controls stay.
std::string TrimSpace(std::string_view text);
std::string TrimLeftSpace(std::string_view text);
std::string TrimRightSpace(std::string_view text);

// Leading spaces removed, then cut to the last `width` characters or
// lengthened on the left with `pad` until it is `width` long.
std::string PadL(std::string_view text, int width, std::string_view pad);

// Index of the occurrence-th entry (0 = first) that begins with prefix,
// ASCII case ignored; -1 when there is none or the list is absent.
int SearchStringList(const TStringList* list, std::string_view prefix, int occurrence);

std::string NormalizeLabel(std::string_view line);
std::string LabelValue(std::string_view line);
std::string WriteLabelValue(std::string_view line, std::string_view value);
// The value of `param` among the parameters of a header line; names match
// without regard to case. A plain `param=` with a value wins and reads as it
// always has; without one, the RFC 2231 forms are read (see ReadLabelParam).
std::string LabelParamValue(std::string_view line, std::string_view param);

// A parameter value with what RFC 2231 says about its bytes. For a plain
// value only `value` is set.
struct TParamValue {
  std::string value;     // quotes removed; RFC 2231 escapes decoded, sections joined
  std::string charset;   // as the first section names it; empty when unnamed
  std::string language;
  bool extended = false;  // read from `param*`, `param*0`, `param*0*`, ...
};

// LabelParamValue with the character set of an RFC 2231 value: `param*=`
// (charset'language'%XX...), or the sections `param*0`, `param*1`, ... each
// plain (quoted or not) or extended (`param*N*=`, escapes decoded). Only the
// first section names a charset. Bytes come back unconverted.
TParamValue ReadLabelParam(std::string_view line, std::string_view param);
std::string WriteLabelParamValue(std::string_view line, std::string_view param,
                                 std::string_view value);
// The text of one parameter that carries a UTF-8 value: name="value" when
// the value is printable ASCII without '"', '\' or "=?" and the text fits a
// folded line; otherwise the RFC 2231 form name*=utf-8''%XX... (section 4),
// cut when long into sections name*0*=utf-8''...; name*1*=...; (section 3)
// joined by "; ", each within 76 characters and never splitting a UTF-8
// sequence. ReadLabelParam reads any of these back exactly.
std::string LabelParamText(std::string_view name, std::string_view value);
// The line with every form of the parameter (name, name*, name*N, name*N*)
// taken out and LabelParamText(name, value) appended after "; ".
std::string WriteLabelParam(std::string_view line, std::string_view name, std::string_view value);
std::string WrapHeader(std::string_view header);

// Cuts the next line (with its CR LF) from text starting at the 1-based
// position; the position becomes -1 once the text is used up.
void DataLine(std::string_view text, std::string& line, int& position);
// Large-text form: hands out each line as a view into the caller's buffer,
// which stays untouched. Start with position -1 and loop until done.
void DataLinePChar(const char* buffer, size_t length, long long& position,
                   size_t& lineLength, const char*& lineStart, bool& done);

}  // namespace Vizu2000
