#pragma once
// A test's own settings file: the program reads and writes it instead of the
// user's while the object lives (and until another one is selected).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <cstdlib>
#include <string>

namespace VizuTest {

class TSettingsFile {
 public:
  explicit TSettingsFile(std::string path) : path_(std::move(path)) { Select(); }
  ~TSettingsFile() { unsetenv("QUENWICK_SETTINGS"); }
  TSettingsFile(const TSettingsFile&) = delete;
  TSettingsFile& operator=(const TSettingsFile&) = delete;

  void Select() const { setenv("QUENWICK_SETTINGS", path_.c_str(), 1); }
  const std::string& Path() const { return path_; }
  // The whole file; empty when it does not exist.
  std::string Text() const {
    QFile f(QString::fromStdString(path_));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
  }
  void Write(const std::string& text) const {
    QFile f(QString::fromStdString(path_));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.c_str());
  }
  // Permission bits; 0 when the file does not exist.
  unsigned Mode() const {
    struct stat st {};
    return stat(path_.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  }

 private:
  std::string path_;
};

}  // namespace VizuTest
