#pragma once
// Message files: where a message with a given unique id is stored, and how
// it is written so that a file on disk is always a whole message.
#include <functional>
#include <string>
#include <string_view>

#include "platform/streams.h"

namespace Vizu2000 {

// The file-name form of a unique id. An id that holds neither "%", "/" nor
// a NUL byte and is not too long keeps its name; otherwise "%", "/" and NUL
// become "%25", "%2F" and "%00", so distinct ids never share a name and a
// name never leaves its folder. An id whose name would pass the file-system
// limit keeps its first 160 bytes (so encoded) and then "%h" and the SHA-256
// of the whole id in hex.
std::string FileNameOfId(std::string_view uid);

// destDir + "/" + FileNameOfId(uid) + ".eml"; nothing is dropped when destDir
// already ends in "/".
std::string MessageFileName(const std::string& destDir, std::string_view uid);

// Writes a file whole or not at all: the content goes to a new temporary
// file in the same folder, is flushed and synced, and then renamed over the
// final name. Raises EVizuError "Cannot create file <fileName>" when the
// file cannot be created or put in place, "Cannot write file <fileName>"
// when writing fails; no temporary file is left behind either way.
void WriteFileWhole(const std::string& fileName, const std::function<void(TStream&)>& write);

// Makes the folder's entries (renames included) durable. Raises EVizuError
// "Cannot sync folder <dir>".
void SyncFolder(const std::string& dir);

// The folder part of a file name ("." for a bare name).
std::string FolderOf(const std::string& fileName);

}  // namespace Vizu2000
