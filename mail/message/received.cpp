#include "mail/message/received.h"

#include <utility>

#include "mail/mime/mail_dates.h"
#include "platform/error.h"
#include "platform/text_chars.h"

namespace Vizu2000 {

namespace {

// Longest hop text read; a longer field is cut, as no real hop comes near it.
constexpr size_t kMaxHopText = 9999;


// Folding whitespace separates words wherever it stands (RFC 5322 section
// 3.2.2): a field folded with a TAB, or loaded without unfolding, keeps its
// keywords apart.
constexpr auto IsWordBreak = IsWspOrLineBreak;

bool SameWord(const std::string& word, const char* keyword) {
  size_t k = 0;
  for (; keyword[k]; ++k) {
    if (k >= word.size()) return false;
    char c = word[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != keyword[k]) return false;
  }
  return k == word.size();
}

// The clause keywords of a trace line (RFC 5321 section 4.4). One of them
// is never the value of the clause before it: a hop whose "from" clause
// holds only a comment must not report "by" as its sender.
bool IsClauseKeyword(const std::string& word, TReceivedField& selects) {
  static constexpr std::pair<const char*, TReceivedField> kKeywords[] = {
      {"from", reFrom}, {"by", reBy}, {"for", reFor}, {"with", reNone}, {"id", reNone}, {"via", reNone}};
  for (const auto& [keyword, field] : kKeywords) {
    if (SameWord(word, keyword)) {
      selects = field;
      return true;
    }
  }
  return false;
}

}  // namespace

TReceived ParseReceived(std::string_view value) {
  TReceived hop;
  std::string_view text = value.substr(0, kMaxHopText);
  while (!text.empty() && IsCtlOrSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsCtlOrSpace(text.back())) text.remove_suffix(1);

  TReceivedField state = reNone;
  int depth = 0;
  // A host given as an address literal (RFC 5321 section 4.4,
  // Extended-Domain) is the clause's value, brackets and all.
  bool literal = false;
  // Words are never longer than the text: one allocation for the whole walk.
  std::string word;
  word.reserve(text.size());
  // The end of the text ends the last word as a space would, so a hop
  // without a date still reports its last clause.
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ' ';
    const bool semicolon = c == ';';
    const bool wordBreak = semicolon || IsWordBreak(c);
    if (literal && !wordBreak) {
      word.push_back(c);
      if (c == ']') literal = false;
      continue;
    }
    literal = false;
    if (c == '[' && depth == 0 && state != reNone && word.empty()) {
      word.push_back(c);
      literal = true;
      continue;
    }
    // Comments nest (RFC 5322 section 3.2.2); bracketed addresses elsewhere
    // belong to the comments or to the sending host's own words. Neither
    // names a host or a recipient.
    if (c == '(' || c == '[') {
      ++depth;
      continue;
    }
    if (c == ')' || c == ']') {
      if (depth > 0) --depth;
      continue;
    }
    if (depth > 0 || c == '"' || c == '\'' || c == '<' || c == '>') continue;
    if (!wordBreak) {
      word.push_back(c);
      continue;
    }
    TReceivedField selected;
    if (IsClauseKeyword(word, selected)) {
      state = selected;
      word.clear();
    } else if (!word.empty()) {
      // A word outside a from, by or for clause (the "with" protocol, the
      // "id") is dropped.
      if (state == reFrom) hop.From = word;
      else if (state == reBy) hop.By = word;
      else if (state == reFor) hop.For = word;
      word.clear();
      state = reNone;
    }
    if (semicolon) {
      std::string_view date = text.substr(i + 1);
      while (!date.empty() && date.front() == ' ') date.remove_prefix(1);
      while (!date.empty() && date.back() == ' ') date.remove_suffix(1);
      // A date that cannot be read leaves the hop without one; the
      // trace header itself stays readable.
      try {
        hop.Date = MailDateToDateTime(date);
      } catch (const EVizuError&) {
        hop.Date = 0;
      }
      break;
    }
  }
  return hop;
}

}  // namespace Vizu2000
