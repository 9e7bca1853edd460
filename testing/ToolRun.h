#pragma once

// Runs the `teds` tool in-process for the tool's tests, and files (bench
// files among them) that exist for one test. Header only: it needs the
// tool's library, which the testing library does not link.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/teds/TedsApp.h"

namespace orvtest {

// What one run of the tool left: its exit status and both output streams.
struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// Runs `teds` with `args`, standard input reading `input`.
inline Outcome Teds(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  TedsStreams streams{in, out, err};
  const int status = RunTeds(args, streams);
  return {status, out.str(), err.str()};
}

// A file that exists for one test, removed when it goes out of scope. The name
// holds `prefix`, the running test's name, a count and a random part, so tests
// running at the same time in other processes (other builds on the same
// machine among them) never share a file.
class TempFile {
 public:
  explicit TempFile(const std::string& text = "", const std::string& prefix = "teds_")
      : path((std::filesystem::temp_directory_path() /
              (prefix + TestName() + "_" + std::to_string(++counter) + "_" +
               std::to_string(std::random_device()()) + ".json"))
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
  // The names of parameterized tests hold slashes.
  static std::string TestName() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
  }
  static inline int counter = 0;
};

// A bench file for one test.
class BenchFile : public TempFile {
 public:
  explicit BenchFile(const nlohmann::json& bench, const std::string& prefix = "teds_query_")
      : TempFile(bench.dump(2), prefix) {}
};

}  // namespace orvtest
