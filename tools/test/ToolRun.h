#pragma once

// Running the `teds` tool in-process and giving it files, for the tool's
// tests.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/teds/TedsApp.h"

namespace toolrun {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

inline Outcome Teds(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  TedsStreams streams{in, out, err};
  const int status = RunTeds(args, streams);
  return {status, out.str(), err.str()};
}

// A file named after the running test, removed when it goes out of scope.
class TempFile {
 public:
  explicit TempFile(const std::string& text = "")
      : path((std::filesystem::temp_directory_path() /
              (std::string("teds_") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
               std::to_string(++counter) + ".json"))
                 .string()) {
    std::ofstream(path, std::ios::binary) << text;
  }
  ~TempFile() { std::filesystem::remove(path); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  std::string Read() const {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }
  const std::string path;

 private:
  static inline int counter = 0;
};

}  // namespace toolrun
