#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "platform/file_types.h"

using namespace Vizu2000;

TEST(FileTypes, SystemListIsLoadedOnFirstUseFromManyThreads) {
  if (!std::filesystem::exists("/etc/mime.types")) GTEST_SKIP() << "no /etc/mime.types";
  ResetFileTypes();
  std::vector<std::thread> threads;
  std::vector<std::string> types(4), extensions(4);
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      types[i] = FileTypeContentType(".GIF");
      extensions[i] = FileTypeExtension("Image/GIF");
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(types[i], "image/gif");
    EXPECT_EQ(extensions[i], ".gif");
  }
  EXPECT_EQ(FileTypeContentType("."), "");
  EXPECT_EQ(FileTypeExtension(""), "");
}
