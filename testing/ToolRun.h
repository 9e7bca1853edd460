#pragma once

// Runs the `teds` tool in-process for the tool's tests, and bench files that
// exist for one test. Header only: it needs the tool's library, which the
// testing library does not link.

#include <algorithm>
#include <filesystem>
#include <fstream>
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

// Writes a bench file for one test and removes it afterwards. The name holds
// `prefix`, the running test's name and a count, so tests running at the same
// time in other processes never share a file.
class BenchFile {
 public:
  explicit BenchFile(const nlohmann::json& bench, const std::string& prefix = "teds_query_")
      : path((std::filesystem::temp_directory_path() /
              (prefix + TestName() + "_" + std::to_string(++counter) + "_" +
               std::to_string(std::random_device()()) + ".json"))
                 .string()) {
    std::ofstream(path) << bench.dump(2);
  }
  ~BenchFile() { std::filesystem::remove(path); }
  BenchFile(const BenchFile&) = delete;
  BenchFile& operator=(const BenchFile&) = delete;
  const std::string path;

 private:
  // The names of parameterized tests hold slashes.
  // The random part keeps test programs of other builds on the same machine,
  // running the same test at the same time, off this file.
  static std::string TestName() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
  }
  static inline int counter = 0;
};

}  // namespace orvtest
