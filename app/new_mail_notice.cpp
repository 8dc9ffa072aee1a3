#include "app/new_mail_notice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringDecoder>
#include <QStringList>
#include <QVariantMap>

#include <fstream>

#include "mail/message/mail_message.h"
#include "mail/mime/charsets.h"

namespace Vizu2000 {

// One id for the menu entry, the icon and this (set by the build).
const char* const kDesktopId = QUENWICK_DESKTOP_ID;

namespace {

// Only the header is read: a message of 100 MB costs no more than any other,
// and a header without an end costs no more than this.
constexpr std::size_t kHeaderLimit = 256 * 1024;
// Characters a line keeps of a sender and a subject; a notification is read
// at a glance and its popup has room for little more.
constexpr qsizetype kSenderLimit = 60;
constexpr qsizetype kSubjectLimit = 120;

// Where the empty line that ends the header begins (RFC 5322 section 2.1),
// looking from `from` on; npos when it is not there yet.
std::size_t HeaderEnd(const std::string& text, std::size_t from) {
  if (from == 0 && (text.starts_with("\n") || text.starts_with("\r\n"))) return 0;  // no header at all
  for (std::size_t i = text.find('\n', from); i != std::string::npos; i = text.find('\n', i + 1)) {
    if (i + 1 < text.size() && text[i + 1] == '\n') return i + 1;
    if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') return i + 1;
  }
  return std::string::npos;
}

// The header of the file and an empty line; empty when the file cannot be
// read.
std::string ReadHeader(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text;
  char chunk[8192];
  while (in && text.size() < kHeaderLimit) {
    in.read(chunk, sizeof chunk);
    const std::size_t from = text.size() >= 2 ? text.size() - 2 : 0;
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (const std::size_t end = HeaderEnd(text, from); end != std::string::npos) {
      text.resize(end);
      return text + "\r\n";
    }
  }
  // A header without an end: all of it, or its whole lines within the limit.
  if (text.size() >= kHeaderLimit) {
    const std::size_t lastLine = text.rfind('\n', kHeaderLimit);
    text.resize(lastLine == std::string::npos ? 0 : lastLine + 1);
  } else if (!text.empty() && text.back() != '\n') {
    text += "\r\n";
  }
  return text + "\r\n";
}

// The character set of the field's first encoded word ("=?charset?...",
// RFC 2047 section 2), without an RFC 2231 language; empty when none.
std::string FirstWordCharset(const std::string& field) {
  const std::size_t start = field.find("=?");
  if (start == std::string::npos) return {};
  const std::size_t end = field.find('?', start + 2);
  if (end == std::string::npos) return {};
  std::string charset = field.substr(start + 2, end - start - 2);
  charset.resize(std::min(charset.find('*'), charset.size()));
  return IsCharsetName(charset) ? charset : std::string();
}

// The decoded field as text. The decoder keeps an encoded word's bytes in
// its own character set: text that is not UTF-8 is taken in the set its
// first word names; what still does not convert shows replacement marks.
QString DisplayText(const std::string& decoded, const std::string& field, qsizetype limit) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8.decode(QByteArrayView(decoded.data(), static_cast<qsizetype>(decoded.size())));
  if (utf8.hasError()) {
    std::string converted;
    const std::string charset = FirstWordCharset(field);
    if (!charset.empty() && ConvertCharset(decoded, charset, "UTF-8", converted)) text = QString::fromUtf8(converted);
  }
  // An encoded word may carry any byte: no control character reaches the
  // desktop, and a line stays one line.
  for (QChar& c : text)
    if (c.category() == QChar::Other_Control) c = u' ';
  text = text.simplified();
  if (text.size() > limit) {
    qsizetype cut = limit;
    if (text.at(cut - 1).isHighSurrogate()) --cut;
    text = text.left(cut).trimmed() + u'\u2026';
  }
  return text;
}

// "<sender>: <subject>" for one stored message; empty when the file cannot
// be read.
QString NoticeLine(const std::string& path) {
  const std::string header = ReadHeader(path);
  if (header.empty()) return {};
  TVeraDudurur2000 message(nullptr);
  message.TakeSource(header);
  std::string sender = message.GetFromName();
  if (sender.empty()) sender = message.GetFromAddress();
  const QString from = DisplayText(sender, message.GetLabelValue("From"), kSenderLimit);
  QString subject = DisplayText(message.GetSubject(), message.GetLabelValue("Subject"), kSubjectLimit);
  if (subject.isEmpty()) subject = QStringLiteral("(no subject)");
  return from.isEmpty() ? subject : from + QStringLiteral(": ") + subject;
}

}  // namespace

TNewMailNotice NewMailNoticeText(const std::vector<std::string>& files) {
  TNewMailNotice notice;
  notice.title = files.size() == 1 ? "New message" : std::to_string(files.size()) + " new messages";
  for (std::size_t i = 0; i < files.size() && i < kNoticeMessages; ++i) {
    QString line;
    try {
      line = NoticeLine(files[i]);
    } catch (const std::exception&) {
      // A message the library cannot read still counts in the title.
    }
    if (line.isEmpty()) continue;
    // The body may be shown as markup (the notification service's "body-
    // markup"): a subject's "<" or "&" must stay text.
    notice.body += line.toHtmlEscaped().toStdString() + "\n";
  }
  if (!notice.body.empty()) notice.body.pop_back();
  return notice;
}

void NoticeNewMail(const TPollOutcome& outcome) {
  if (!outcome.failure.empty() || outcome.newFiles.empty()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  const TNewMailNotice notice = NewMailNoticeText(outcome.newFiles);
  QDBusMessage call =
      QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                     QStringLiteral("/org/freedesktop/Notifications"),
                                     QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopId));
  hints.insert(QStringLiteral("category"), QStringLiteral("email.arrived"));
  // app_name, replaces_id (none), app_icon (the icon is named like the
  // menu entry), summary, body, actions, hints, expire_timeout (the
  // service's own).
  call << QStringLiteral("Quenwick") << 0u << QString::fromLatin1(kDesktopId) << QString::fromStdString(notice.title)
       << QString::fromStdString(notice.body) << QStringList() << hints << -1;
  // Sent without waiting for the id it answers with: a slow or absent
  // service must not hold up the window, and nothing here needs the id.
  bus.send(call);
}

}  // namespace Vizu2000
