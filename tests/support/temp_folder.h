// A folder of its own below the system's temporary folder, removed with everything in it
// when the test ends; files are written byte for byte.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include <gtest/gtest.h>

namespace updtest {

class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> serial{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "upd_";
    name += info ? info->name() : "test";
    name += '_' + std::to_string(serial++);
    path_ = std::filesystem::temp_directory_path() / name;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::filesystem::path Write(const std::filesystem::path& name, std::string_view bytes) const {
    const auto file = path_ / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << file;
    return file;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace updtest
