#include "app/stored_id_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "app/message_file.h"
#include "platform/paths.h"

namespace Vizu2000 {

// The file, one line each, LF ends:
//   Quenwick stored ids 1 <user> <host> <port>
//   <id>
//   ...
//   end <number of ids> <SHA-256 of every byte before this line, in hex>
// User, host and ids are written with "%", blanks, control bytes and bytes
// past ASCII as %XX, so every line is one word per field, whatever a server
// sends as an id (RFC 1939 section 7 allows 0x21 to 0x7E only).
namespace {

constexpr std::string_view kMagic = "Quenwick stored ids 1 ";
constexpr std::string_view kEnd = "end ";

void AppendEscaped(std::string& out, std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte >= 0x7F || c == '%') {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 15];
    } else {
      out += c;
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// False for a line this program could not have written.
bool Unescape(std::string_view line, std::string& out) {
  out.clear();
  for (size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (byte <= ' ' || byte >= 0x7F) return false;
    if (line[i] != '%') {
      out += line[i];
      continue;
    }
    const int high = i + 2 < line.size() ? HexValue(line[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(line[i + 2]) : -1;
    if (low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return !out.empty();
}

std::string Digest(std::string_view bytes) {
  return QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

// The whole file into text; false when it cannot be read or passes limit.
bool ReadFile(int fd, std::size_t limit, std::string& text) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > limit) return false;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  // A file that grew since fstat was being written by someone else.
  char extra;
  return ::read(fd, &extra, 1) == 0;
}

}  // namespace

TStoredIdList::TStoredIdList(std::string folder, std::string host, int port, std::string user)
    : folder_(std::move(folder)), host_(std::move(host)), port_(port), user_(std::move(user)) {
  // The file-name form that keeps message files inside their folder does
  // the same here; the header inside tells mailboxes apart for certain.
  fileName_ = folder_ + "/" + FileNameOfId(user_ + "@" + host_ + ":" + std::to_string(port_)) + ".ids";
}

std::string TStoredIdList::Header() const {
  std::string header(kMagic);
  AppendEscaped(header, user_);
  header += ' ';
  AppendEscaped(header, host_);
  header += ' ' + std::to_string(port_) + '\n';
  return header;
}

TStoredIdList::TLoad TStoredIdList::Load() {
  ids_.clear();
  changed_ = true;
  RemoveStaleTemporaries(folder_);
  const int fd = ::open(fileName_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? TLoad::Missing : TLoad::Damaged;
  std::string text;
  const bool read = ReadFile(fd, kMaxFileBytes, text);
  ::close(fd);
  const std::string header = Header();
  if (!read || text.size() < header.size() || text.compare(0, header.size(), header) != 0 || text.back() != '\n')
    return TLoad::Damaged;

  // The last line closes the list: cut short anywhere, a file lacks it or
  // fails its count or digest.
  const size_t endLine = text.rfind('\n', text.size() - 2) + 1;  // 0 when there is one line
  if (endLine < header.size()) return TLoad::Damaged;
  const std::string_view body(text.data(), endLine);
  const std::string_view end(text.data() + endLine, text.size() - endLine - 1);
  const auto count = std::count(body.begin(), body.end(), '\n') - 1;
  if (end != std::string(kEnd) + std::to_string(count) + " " + Digest(body)) return TLoad::Damaged;

  std::string uid;
  for (size_t start = header.size(); start < endLine;) {
    const size_t lf = text.find('\n', start);
    if (!Unescape(std::string_view(text).substr(start, lf - start), uid)) {
      ids_.clear();
      return TLoad::Damaged;
    }
    ids_.insert(uid);
    start = lf + 1;
  }
  changed_ = false;
  return TLoad::Read;
}

void TStoredIdList::Add(std::string uid) {
  if (!uid.empty() && ids_.insert(std::move(uid)).second) changed_ = true;
}

void TStoredIdList::KeepOnly(const TUniqueIds& listing) {
  std::unordered_set<std::string_view> listed;
  listed.reserve(listing.size());
  for (const auto& entry : listing) listed.insert(entry.second);
  const size_t before = ids_.size();
  std::erase_if(ids_, [&](const std::string& uid) { return listed.count(uid) == 0; });
  if (ids_.size() != before) changed_ = true;
}

void TStoredIdList::Save() {
  if (!changed_) return;
  if (!MakePrivateFolders(folder_)) {
    const int code = errno;
    throw EFileError("Cannot create folder " + folder_ + ": " + std::strerror(code), code);
  }
  std::string text = Header();
  for (const std::string& uid : ids_) {
    AppendEscaped(text, uid);
    text += '\n';
  }
  text += std::string(kEnd) + std::to_string(ids_.size()) + " " + Digest(text) + "\n";
  // A batch of one file: a temporary beside it (0600), synced, renamed over
  // the old list, the folder synced.
  TMessageFileBatch batch;
  batch.Add(fileName_, std::move(text));
  batch.Commit();
  changed_ = false;
}

}  // namespace Vizu2000
