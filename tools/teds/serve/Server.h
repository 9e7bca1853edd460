#pragma once

#include <memory>
#include <string>

class ServeApi;
namespace httplib {
class Server;
}

// The HTTP side of `teds serve`: the embedded page and the API, behind one
// check of every request, since any page in the user's browser can send
// requests to a local server:
// - Host must name this server (the listen address, localhost or 127.0.0.1,
//   with the port; any IP address when listening on all of them), which
//   defeats DNS rebinding;
// - Origin, when sent, must be this server's, which refuses other sites;
// - every /api/ call carries the token of the printed URL (X-Teds-Token);
// - API calls that act (scan, write, lock, ...) are POSTs with a JSON body of
//   at most 64 KiB.
class WebServer {
 public:
  WebServer(ServeApi& api, std::string listenAddress, std::string token);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds to `port` (0: any free port); the port, or -1 when it cannot.
  int Bind(int port);
  // Serves until Stop; returns at once when not bound.
  void Serve();
  void Stop();

  // The largest request body taken.
  static constexpr std::size_t kMaxBody = 64 * 1024;

 private:
  void Route();

  ServeApi& api;
  const std::string listenAddress;
  const std::string token;
  int port = -1;
  std::unique_ptr<httplib::Server> server;
};

// A token of 128 random bits, in hexadecimal.
std::string MakeServeToken();
