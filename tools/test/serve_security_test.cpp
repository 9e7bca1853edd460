// `teds serve` over HTTP: the request checks that keep other pages and
// other hosts out, and a sensor's write through the API reaching both the
// next scan and the saved bench.
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "simdevice/BenchReader.h"
#include "testing/ToolRun.h"
#include "tools/teds/serve/Api.h"
#include "tools/teds/serve/Server.h"
#include "tools/teds/serve/Targets.h"

using nlohmann::json;

namespace {

const char kRom[] = "14 3A 7F 1B 05 00 00 B6";

// A server on a free loopback port over the built-in bench (saved to a file
// of the test's after each write), answering at once.
class ServeFixture : public ::testing::Test {
 protected:
  // The bench served; a test may slow its device's answers.
  virtual uint32_t ResponseDelayMs() const { return 0; }

  void SetUp() override {
    json benchJson = json::parse(simdevice::DefaultBenchJson());
    benchJson["responseDelayMs"] = ResponseDelayMs();
    bench = std::make_unique<orvtest::TempFile>(benchJson.dump());
    ServeTargetOptions options;
    options.benchPaths = {bench->path};
    options.saveBenchPath = saved.path;
    options.pollMs = 0;
    options.timeoutS = 20;
    options.todayDay = 19000;
    std::ostringstream err;
    ASSERT_TRUE(targets.Open(options, err)) << err.str();
    api = std::make_unique<ServeApi>(targets, options.todayDay);
    web = std::make_unique<WebServer>(*api, "127.0.0.1", token);
    port = web->Bind(0);
    ASSERT_GT(port, 0);
    serving = std::thread([this] { web->Serve(); });
    host = "127.0.0.1:" + std::to_string(port);
  }
  void TearDown() override {
    if (web) web->Stop();
    if (serving.joinable()) serving.join();
    if (api) api->Stop();
  }

  httplib::Result Send(const std::string& method, const std::string& path,
                       const httplib::Headers& headers, const std::string& body = "",
                       const std::string& type = "application/json") {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    if (method == "GET") return client.Get(path.c_str(), headers);
    return client.Post(path.c_str(), headers, body, type.c_str());
  }
  httplib::Headers WithToken() const { return {{"X-Teds-Token", token}}; }

  json Scan() {
    EXPECT_EQ(Send("POST", "/api/scan", WithToken(), "{}")->status, 200);
    for (int i = 0; i < 400; ++i) {
      const auto state = json::parse(Send("GET", "/api/scan", WithToken())->body);
      if (state["done"] == true) return state["rows"];
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the scan did not end";
    return json::array();
  }

  std::unique_ptr<orvtest::TempFile> bench;
  orvtest::TempFile saved{""};
  const std::string token = MakeServeToken();
  ServeTargets targets;
  std::unique_ptr<ServeApi> api;
  std::unique_ptr<WebServer> web;
  std::thread serving;
  int port = 0;
  std::string host;
};

TEST_F(ServeFixture, RefusesRequestsThatDoNotComeFromThePage) {
  struct Case {
    const char* what;
    std::string method, path;
    httplib::Headers headers;
    std::string body, type;
    int status;
    std::string error;  // a part of the error text
  };
  const std::string big(WebServer::kMaxBody + 1, ' ');
  const Case cases[] = {
      {"no token", "GET", "/api/scan", {}, "", "", 403, "token"},
      {"wrong token", "GET", "/api/scan", {{"X-Teds-Token", token + "0"}}, "", "", 403, "token"},
      {"token of another length", "GET", "/api/scan", {{"X-Teds-Token", "1"}}, "", "", 403,
       "token"},
      {"foreign Host (DNS rebinding)", "GET", "/", {{"Host", "evil.example:" + std::to_string(port)}},
       "", "", 403, "is not this server"},
      {"right name, other port", "GET", "/api/scan",
       {{"Host", "localhost:1"}, {"X-Teds-Token", token}}, "", "", 403, "is not this server"},
      {"foreign Origin", "POST", "/api/scan",
       {{"X-Teds-Token", token}, {"Origin", "http://evil.example"}}, "{}", "application/json",
       403, "other sites"},
      {"GET on a write endpoint", "GET", "/api/write", WithToken(), "", "", 405, "POST"},
      {"wrong content type", "POST", "/api/preview", WithToken(), "{}", "text/plain", 415,
       "application/json"},
      {"oversized body", "POST", "/api/decode", WithToken(), big, "application/json", 413,
       "64 KiB"},
      {"body not JSON", "POST", "/api/decode", WithToken(), "{", "application/json", 400,
       "not JSON"},
      {"bad input, as the command line words it", "POST", "/api/decode", WithToken(),
       R"({"text": "64 8"})", "application/json", 400, "teds decode: --image: "},
      {"the page's own origin", "POST", "/api/scan",
       {{"X-Teds-Token", token}, {"Origin", "http://" + host}}, "{}", "application/json", 200, ""},
      {"localhost names this server", "GET", "/", {{"Host", "localhost:" + std::to_string(port)}},
       "", "", 200, ""},
  };
  for (const Case& c : cases) {
    const auto result = Send(c.method, c.path, c.headers, c.body, c.type);
    ASSERT_TRUE(result) << c.what;
    EXPECT_EQ(result->status, c.status) << c.what << ": " << result->body;
    if (!c.error.empty()) {
      EXPECT_NE(json::parse(result->body).value("error", "").find(c.error), std::string::npos)
          << c.what << ": " << result->body;
    }
  }
}

// A device that takes its time over each answer, so that writes overlap.
class SlowDeviceFixture : public ServeFixture {
 protected:
  uint32_t ResponseDelayMs() const override { return 30; }
};

TEST_F(SlowDeviceFixture, RefusesASecondWriteToTheSameDevice) {
  ASSERT_EQ(Scan().size(), 1u);
  const json sheet = json::parse(
      Send("POST", "/api/sheet", WithToken(), json{{"where", "SIM-DAQ/1/0"}, {"rom", kRom}}.dump())
          ->body)["sheet"];
  const std::string write =
      json{{"where", "SIM-DAQ/1/0"}, {"rom", kRom}, {"sheet", sheet}}.dump();
  // Writes that come while one runs are refused at once rather than
  // interleaved with it on the bus.
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> replies;
  std::vector<std::thread> writers;
  for (int i = 0; i < 3; ++i) {
    writers.emplace_back([&] {
      const auto result = Send("POST", "/api/write", WithToken(), write);
      std::lock_guard<std::mutex> guard(mutex);
      replies.emplace_back(result ? result->status : 0, result ? result->body : "");
    });
  }
  for (auto& writer : writers) writer.join();
  int written = 0;
  for (const auto& reply : replies) {
    if (reply.first == 200) {
      ++written;
      EXPECT_EQ(json::parse(reply.second)["ok"], true) << reply.second;
    } else {
      EXPECT_EQ(reply.first, 409);
      EXPECT_EQ(json::parse(reply.second)["error"], "a write to SIM-DAQ/1 is already running");
    }
  }
  EXPECT_GE(written, 1);
  EXPECT_LT(written, 3);
}

TEST_F(ServeFixture, AWriteReachesTheNextScanAndTheSavedBench) {
  Scan();
  json sheet = json::parse(
      Send("POST", "/api/sheet", WithToken(), json{{"where", "SIM-DAQ/1/0"}, {"rom", kRom}}.dump())
          ->body)["sheet"];
  json& t = sheet["templates"][0];
  t.erase("calDateText");
  t["sensRef"] = 0.0205;
  t["calDate"] = "2024-05-01";

  // Out of range: the encoder's text, and nothing written.
  json bad = sheet;
  bad["templates"][0]["sensRef"] = 500;
  const auto preview = json::parse(Send("POST", "/api/preview", WithToken(), json{{"sheet", bad}}.dump())->body);
  EXPECT_EQ(preview["ok"], false);
  EXPECT_NE(preview["error"].get<std::string>().find("teds encode: data sheet: templates[0].sensRef: 500 V/(m/s^2) is outside"),
            std::string::npos);
  const auto refused =
      Send("POST", "/api/write", WithToken(),
           json{{"where", "SIM-DAQ/1/0"}, {"rom", kRom}, {"sheet", bad}}.dump());
  EXPECT_EQ(refused->status, 400);
  EXPECT_EQ(saved.Read(), "");

  const auto written = json::parse(
      Send("POST", "/api/write", WithToken(),
           json{{"where", "SIM-DAQ/1/0"}, {"rom", kRom}, {"sheet", sheet}}.dump())
          ->body);
  EXPECT_EQ(written["ok"], true) << written.dump();
  const json rows = Scan();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["calDate"], "2024-05-01");
  EXPECT_NEAR(rows[0]["sensitivity"].get<double>(), 0.0205, 0.0205 * 0.0003);
  EXPECT_EQ(rows[0]["overdue"], false);
  // The saved bench holds the same part.
  const auto query = orvtest::Teds({"query", "--bench", saved.path, "--poll-ms", "0", "--quiet"});
  EXPECT_EQ(query.status, 0) << query.err;
  EXPECT_NE(query.out.find("2024-05-01"), std::string::npos) << query.out;

  // The lock names the part twice; a ROM confirmed wrongly locks nothing.
  const std::string before = saved.Read();
  const auto mismatch = Send("POST", "/api/lock", WithToken(),
                             json{{"where", "SIM-DAQ/1/0"}, {"rom", kRom},
                                  {"confirmRom", "14 3A 7F 1B 05 00 00 B7"}}.dump());
  EXPECT_EQ(mismatch->status, 400);
  EXPECT_EQ(saved.Read(), before);
  const auto locked = json::parse(
      Send("POST", "/api/lock", WithToken(),
           json{{"where", "SIM-DAQ/1/0"}, {"rom", kRom}, {"confirmRom", "14 3a 7f 1b 05 00 00 b6"}}.dump())
          ->body);
  EXPECT_EQ(locked["ok"], true) << locked.dump();
  EXPECT_NE(locked["report"].get<std::string>().find("14 3A 7F 1B 05 00 00 B6"), std::string::npos);
}

}  // namespace
