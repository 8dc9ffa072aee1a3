#pragma once
// The system's file-type database: file extensions <-> content types, read
// from a mime.types file ("type/subtype ext1 ext2 ...", "#" comments).
// Loaded once, on first use, from /etc/mime.types; safe to use from several
// threads. A missing or unreadable file gives an empty database.
#include <string>
#include <string_view>

namespace Vizu2000 {

// Content type for an extension given with or without its dot, ASCII case
// ignored; empty when the extension is not listed.
std::string FileTypeContentType(std::string_view extension);

// First extension listed for the content type (ASCII case ignored), with its
// dot; empty when the type is not listed or has no extension.
std::string FileTypeExtension(std::string_view contentType);

// Replaces the database with the contents of another file (tests, hosts with
// their own list). Returns false, leaving the database empty, when the file
// cannot be read.
bool LoadFileTypes(const std::string& path);

// Replaces the database with the given mime.types text.
void SetFileTypesText(std::string_view text);

// Forgets any loaded database; the next lookup reads the system's file.
void ResetFileTypes();

}  // namespace Vizu2000
