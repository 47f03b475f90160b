#include "platform/search.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/json.h"
#include "testkit/base64.h"

namespace kolvex::platform {
namespace {

using testkit::base64;

nlohmann::json line_match(std::string_view text, int number) {
  return {{"Line", base64(text)}, {"LineNumber", number}, {"LineStart", 0}, {"LineEnd", text.size()}};
}

// A Zoekt web server on a loopback port whose answer depends on the query text.
class FakeZoekt {
 public:
  FakeZoekt() {
    server_.Post("/api/search", [this](const httplib::Request& request, httplib::Response& response) {
      handle(request, response);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~FakeZoekt() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    released_signal_.notify_all();
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server_.stop();
    thread_.join();
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  nlohmann::json last_request() {
    std::lock_guard lock(mutex_);
    return last_request_;
  }

 private:
  void handle(const httplib::Request& request, httplib::Response& response) {
    nlohmann::json body = nlohmann::json::parse(request.body);
    {
      std::lock_guard lock(mutex_);
      last_request_ = body;
    }
    const std::string query = body.at("Q").get<std::string>();
    if (query == "parse") {
      nlohmann::json files = nlohmann::json::array();
      files.push_back({{"FileName", "src/a.py"},
                       {"Repository", "api"},
                       {"LineMatches", {line_match("def parse():\n", 3), line_match("x = '\xff'", 10)}}});
      files.push_back({{"FileName", "README.md"}, {"Repository", "api"}, {"LineMatches", {line_match("parse it\r\n", 1)}}});
      files.push_back({{"FileName", "empty.txt"}, {"Repository", "api"}, {"LineMatches", nullptr}});
      nlohmann::json name_match = line_match("parse.go", 0);
      name_match["FileName"] = true;
      files.push_back({{"FileName", "parse.go"}, {"Repository", "api"}, {"LineMatches", {name_match}}});
      response.set_content(nlohmann::json{{"Result", {{"Files", files}}}}.dump(), "application/json");
    } else if (query == "nothing") {
      response.set_content(R"({"Result": {"Files": null, "Stats": {}}})", "application/json");
    } else if (query == "(unbalanced") {
      response.status = 400;
      response.set_content(R"({"Error": "parse error: unbalanced parenthesis"})", "application/json");
    } else if (query == "busy") {
      response.status = 503;
    } else if (query == "gateway") {
      response.status = 502;
    } else if (query == "boom") {
      response.status = 500;
      response.set_content(R"({"Error": "search failed"})", "application/json");
    } else if (query == "garbage") {
      response.set_content("<html>not json</html>", "text/html");
    } else if (query == "slow") {
      std::unique_lock lock(mutex_);
      released_signal_.wait_for(lock, std::chrono::seconds(5), [this] { return released_; });
      response.set_content(R"({"Result": {"Files": null}})", "application/json");
    } else {
      response.status = 404;
    }
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable released_signal_;
  bool released_ = false;
  nlohmann::json last_request_;
};

// A loopback port with nothing listening on it.
int closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST(SearchZoekt, ReturnsHitsInOrder) {
  FakeZoekt zoekt;
  ZoektResult result = search_zoekt(zoekt.url(), "parse");
  ASSERT_EQ(result.hits.size(), 3u);
  EXPECT_EQ(result.hits[0].path, "src/a.py");
  EXPECT_EQ(result.hits[0].line_number, 3);
  EXPECT_EQ(result.hits[0].line_text, "def parse():");
  EXPECT_EQ(result.hits[1].path, "src/a.py");
  EXPECT_EQ(result.hits[1].line_number, 10);
  EXPECT_EQ(result.hits[1].line_text, "x = '\xef\xbf\xbd'") << "invalid bytes are replaced";
  EXPECT_EQ(result.hits[2].path, "README.md");
  EXPECT_EQ(result.hits[2].line_number, 1);
  EXPECT_EQ(result.hits[2].line_text, "parse it");

  nlohmann::json request = zoekt.last_request();
  EXPECT_EQ(request.at("Q"), "parse");
  EXPECT_EQ(request.at("Opts").at("ChunkMatches"), false);
  EXPECT_EQ(request.at("Opts").at("NumContextLines"), 0);
  EXPECT_EQ(request.at("Opts").at("MaxDocDisplayCount"), ZOEKT_MAX_FILES);
}

TEST(SearchZoekt, NoMatchesAndATrailingSlash) {
  FakeZoekt zoekt;
  EXPECT_TRUE(search_zoekt(zoekt.url() + "/", "nothing").hits.empty());
  EXPECT_EQ(zoekt.last_request().at("Q"), "nothing");
}

TEST(SearchZoekt, FailuresAreTyped) {
  FakeZoekt zoekt;
  struct Case {
    std::string query;
    std::string type;
    std::string message;
  };
  const std::string at = "zoekt search at " + zoekt.url() + "/api/search";
  const Case cases[] = {
      {"(unbalanced", "ZoektQueryError", "zoekt rejected the query '(unbalanced': parse error: unbalanced parenthesis"},
      {"busy", "ZoektUnavailableError", at + " answered HTTP 503"},
      {"gateway", "ZoektUnavailableError", at + " answered HTTP 502"},
      {"boom", "ZoektError", at + " answered HTTP 500: search failed"},
      {"garbage", "ZoektError", "zoekt search reply is not JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    try {
      search_zoekt(zoekt.url(), c.query);
      ADD_FAILURE() << "expected " << c.type;
    } catch (const ZoektError& error) {
      EXPECT_STREQ(error.type_name(), c.type.c_str());
      EXPECT_EQ(error.message(), c.message);
    }
  }
}

TEST(SearchZoekt, UnreachableServiceIsUnavailable) {
  EXPECT_THROW(search_zoekt("http://127.0.0.1:" + std::to_string(closed_port()), "parse"), ZoektUnavailableError);

  FakeZoekt zoekt;
  ZoektSearchOptions options;
  options.timeout = std::chrono::milliseconds(200);
  EXPECT_THROW(search_zoekt(zoekt.url(), "slow", options), ZoektUnavailableError);
}

}  // namespace
}  // namespace kolvex::platform
