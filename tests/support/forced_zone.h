#pragma once
// Forces the C library's time zone (TZ, then tzset) for the life of the
// object, and puts the previous one back.
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class ForcedZone {
 public:
  explicit ForcedZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ForcedZone() {
    if (old_) setenv("TZ", old_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  ForcedZone(const ForcedZone&) = delete;
  ForcedZone& operator=(const ForcedZone&) = delete;

 private:
  std::optional<std::string> old_;
};
