#pragma once
// Who made the program: the web host name the window shows, which the
// "X-Mailer" field of every restructured message names after kMailerPrefix.
namespace Vizu2000 {

inline constexpr char kMakerHost[] = "quenwick.example.org";
inline constexpr char kMailerPrefix[] = "Vellicor: ";

}  // namespace Vizu2000
