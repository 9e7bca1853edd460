#include "tools/teds/serve/Server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <random>

#include "tools/teds/serve/Api.h"

namespace tedsweb {
extern const std::pair<const char*, std::string> kFiles[];
extern const std::size_t kFileCount;
}  // namespace tedsweb

using nlohmann::json;

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The host as a URL names it: IPv6 addresses in brackets.
std::string UrlHost(const std::string& address) {
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool IsWildcard(const std::string& address) { return address == "0.0.0.0" || address == "::"; }

// An address in digits (IPv4, or IPv6 in brackets): a name no DNS answer
// can point elsewhere.
bool IsAddressLiteral(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return host.find_first_not_of("0123456789abcdef:.", 1) == host.size() - 1;
  }
  int dots = 0;
  for (char c : host) {
    if (c == '.') ++dots;
    else if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return dots == 3;
}

// Compares without stopping at the first difference, so that the time taken
// tells nothing about the token.
bool SameToken(const std::string& given, const std::string& token) {
  unsigned difference = given.size() == token.size() ? 0 : 1;
  for (std::size_t i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(token[i]) ^
                  static_cast<unsigned char>(i < given.size() ? given[i] : 0);
  }
  return difference == 0;
}

// The media type of a Content-Type header, without its parameters.
std::string MediaType(const std::string& header) {
  std::string type = Lower(header.substr(0, header.find(';')));
  type.erase(0, type.find_first_not_of(" \t"));
  type.erase(type.find_last_not_of(" \t") + 1);
  return type;
}

void SendJson(httplib::Response& res, int status, const nlohmann::ordered_json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, const std::string& text) {
  SendJson(res, status, nlohmann::ordered_json{{"error", text}});
}

const char* ContentType(const std::string& name) {
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0) {
    return "text/javascript; charset=utf-8";
  }
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".css") == 0) {
    return "text/css; charset=utf-8";
  }
  return "text/html; charset=utf-8";
}

// The API calls that act, taken by POST only.
bool PostOnly(const std::string& path) {
  static const char* const kPaths[] = {"/api/sheet", "/api/preview", "/api/decode", "/api/write",
                                       "/api/lock"};
  return std::find_if(std::begin(kPaths), std::end(kPaths),
                      [&](const char* p) { return path == p; }) != std::end(kPaths);
}

}  // namespace

std::string MakeServeToken() {
  std::random_device random;
  std::string token;
  for (int i = 0; i < 4; ++i) {
    char word[9];
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(random()));
    token += word;
  }
  return token;
}

WebServer::WebServer(ServeApi& api, std::string listenAddress, std::string token)
    : api(api),
      listenAddress(std::move(listenAddress)),
      token(std::move(token)),
      server(std::make_unique<httplib::Server>()) {
  Route();
}

WebServer::~WebServer() { Stop(); }

int WebServer::Bind(int wanted) {
  port = wanted == 0 ? server->bind_to_any_port(listenAddress)
                     : (server->bind_to_port(listenAddress, wanted) ? wanted : -1);
  return port;
}

void WebServer::Serve() {
  if (port >= 0) server->listen_after_bind();
}

void WebServer::Stop() { server->stop(); }

void WebServer::Route() {
  // One request per connection: a refused request's body is never read, and
  // must not be taken for the next request.
  server->set_keep_alive_max_count(1);
  server->set_payload_max_length(kMaxBody);
  server->set_default_headers({{"X-Frame-Options", "DENY"},
                               {"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"},
                               {"Cache-Control", "no-store"},
                               {"Content-Security-Policy",
                                "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'"}});

  server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    using Outcome = httplib::Server::HandlerResponse;
    const std::string host = Lower(req.get_header_value("Host"));
    const std::size_t colon = host.rfind(':');
    const std::string name = colon == std::string::npos ? host : host.substr(0, colon);
    const bool portOk = colon != std::string::npos && host.substr(colon + 1) == std::to_string(port);
    const bool nameOk = name == "localhost" || name == "127.0.0.1" || name == "[::1]" ||
                        name == Lower(UrlHost(listenAddress)) ||
                        (IsWildcard(listenAddress) && IsAddressLiteral(name));
    if (!portOk || !nameOk) {
      SendError(res, 403, "teds serve: Host \"" + req.get_header_value("Host") +
                              "\" is not this server; use the URL teds serve printed");
      return Outcome::Handled;
    }
    if (req.has_header("Origin") && Lower(req.get_header_value("Origin")) != "http://" + host) {
      SendError(res, 403, "teds serve: requests from other sites are refused (Origin " +
                              req.get_header_value("Origin") + ")");
      return Outcome::Handled;
    }
    if (req.path.compare(0, 5, "/api/") != 0) return Outcome::Unhandled;
    if (!SameToken(req.get_header_value("X-Teds-Token"), token)) {
      SendError(res, 403,
                "teds serve: the API needs the token of the URL teds serve printed "
                "(header X-Teds-Token)");
      return Outcome::Handled;
    }
    if (PostOnly(req.path) && req.method != "POST") {
      SendError(res, 405, "teds serve: " + req.path + " takes a POST with a JSON body");
      return Outcome::Handled;
    }
    if (req.method == "POST") {
      if (MediaType(req.get_header_value("Content-Type")) != "application/json") {
        SendError(res, 415, "teds serve: the body must be JSON (Content-Type: application/json)");
        return Outcome::Handled;
      }
      if (req.get_header_value<uint64_t>("Content-Length") > kMaxBody) {
        SendError(res, 413, "teds serve: the request body is larger than 64 KiB");
        return Outcome::Handled;
      }
    }
    return Outcome::Unhandled;
  });
  // Refusals of the library itself (a body too large without a length, an
  // unknown path) get a JSON text too.
  const httplib::Server::HandlerWithResponse errors = [](const httplib::Request&,
                                                         httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    SendError(res, res.status,
              res.status == 413 ? "teds serve: the request body is larger than 64 KiB"
              : res.status == 404 ? "teds serve: no such page or API call"
                                  : "teds serve: the request was refused");
    return httplib::Server::HandlerResponse::Handled;
  };
  server->set_error_handler(errors);
  server->set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string text = "unknown failure";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          text = e.what();
        } catch (...) {
        }
        SendError(res, 500, "teds serve: " + text);
      });

  for (std::size_t i = 0; i < tedsweb::kFileCount; ++i) {
    const std::string name = tedsweb::kFiles[i].first;
    const std::string& content = tedsweb::kFiles[i].second;
    const std::string path = name == "index.html" ? "/" : "/" + name;
    server->Get(path, [&content, name](const httplib::Request&, httplib::Response& res) {
      res.set_content(content, ContentType(name));
    });
  }

  server->Get("/api/scan", [this](const httplib::Request&, httplib::Response& res) {
    const ApiReply reply = api.ScanState();
    SendJson(res, reply.status, reply.body);
  });
  using Call = std::function<ApiReply(const json&)>;
  const std::pair<const char*, Call> posts[] = {
      {"/api/scan", [this](const json&) { return api.StartScan(); }},
      {"/api/sheet", [this](const json& r) { return api.Sheet(r); }},
      {"/api/preview", [this](const json& r) { return api.Preview(r); }},
      {"/api/decode", [this](const json& r) { return api.Decode(r); }},
      {"/api/write", [this](const json& r) { return api.Write(r); }},
      {"/api/lock", [this](const json& r) { return api.Lock(r); }},
  };
  for (const auto& post : posts) {
    const Call call = post.second;
    server->Post(post.first, [call](const httplib::Request& req, httplib::Response& res) {
      json body;
      try {
        body = json::parse(req.body);
      } catch (const json::exception& e) {
        SendError(res, 400, std::string("teds serve: the request body is not JSON: ") + e.what());
        return;
      }
      const ApiReply reply = call(body);
      SendJson(res, reply.status, reply.body);
    });
  }
}
