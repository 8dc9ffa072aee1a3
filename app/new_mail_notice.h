#pragma once
// The desktop's word that new mail has come: one notification per poll that
// stored new messages, through the freedesktop notification service on the
// session bus. What it says is built apart from how it is sent, so the words
// can be checked without a bus.
#include <string>
#include <vector>

#include "app/poll_status.h"

namespace Vizu2000 {

struct TNewMailNotice {
  std::string title;  // UTF-8, plain text
  std::string body;   // UTF-8, markup special characters escaped; one line a message, LF between
};

// "New message" or "<N> new messages" for the files newly stored, and for
// the first kNoticeMessages of them one line each, "<sender>: <subject>",
// read from each file's header (encoded words decoded, then converted to
// UTF-8). A file that cannot be read gives no line. Never raises.
TNewMailNotice NewMailNoticeText(const std::vector<std::string>& files);

// Sends the notice for a poll that ended well with new files; nothing for
// one that failed or stored nothing new. Without a session bus or anyone on
// it to show notifications, nothing happens. Never waits for an answer and
// never raises.
void NoticeNewMail(const TPollOutcome& outcome);

// Messages the body names; the title counts them all.
constexpr std::size_t kNoticeMessages = 3;

// The name the notification carries for the desktop to find the program's
// menu entry and icon by (the installed .desktop file, without ".desktop").
extern const char* const kDesktopId;

}  // namespace Vizu2000
