#include "semantic/hybrid.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "core/fs.h"
#include "core/sqlite.h"
#include "platform/config.h"
#include "platform/search.h"
#include "semantic/fake_model.h"
#include "semantic/store.h"
#include "testkit/base64.h"
#include "testkit/symbol_database.h"

namespace kolvex::semantic {
namespace {

using testing::FakeModel;

using testkit::base64;

// A Zoekt web server on a loopback port: answers every search with the same
// reply and records the queries it was sent.
class FakeZoekt {
 public:
  explicit FakeZoekt(int status = 200) : status_(status) {
    server_.Post("/api/search", [this](const httplib::Request& request, httplib::Response& response) {
      {
        std::lock_guard lock(mutex_);
        queries_.push_back(nlohmann::json::parse(request.body).at("Q").get<std::string>());
      }
      response.status = status_;
      nlohmann::json files = nlohmann::json::array();
      for (const auto& [path, line, text] : hits) {
        files.push_back({{"FileName", path},
                         {"Repository", "demo"},
                         {"LineMatches", {{{"Line", base64(text)}, {"LineNumber", line}}}}});
      }
      response.set_content(status_ == 200 ? nlohmann::json{{"Result", {{"Files", files}}}}.dump()
                                          : std::string(R"({"Error": "bad query"})"),
                           "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~FakeZoekt() {
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> queries() {
    std::lock_guard lock(mutex_);
    return queries_;
  }

  std::vector<std::tuple<std::string, int, std::string>> hits;

 private:
  int status_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> queries_;
};

// A loopback address with nothing listening on it.
std::string closed_url() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

const ModelSpec CONFIGURED{"fake/model", "rev1", "q: ", "d: "};

class HybridSearchTest : public ::testing::Test {
 protected:
  // Stores chunks under `identity`; chunk i's vector lies nearer the query the smaller i is.
  void store_chunks(const std::vector<std::tuple<std::string, int, int, std::string>>& chunks,
                    const TableIdentity& identity = {"fake/model", "rev1", "q: ", "d: ", 2}) {
    std::vector<Row> rows;
    float angle = 0.0f;
    for (const auto& [path, start, end, symbol] : chunks) {
      rows.push_back(make_row({.chunk_id = std::string(32, 'c'),
                               .content_hash = std::string(64, 'h'),
                               .file_hash = std::string(64, 'f'),
                               .file_path = path,
                               .start_line = start,
                               .end_line = end,
                               .symbol_name = symbol,
                               .language = "python",
                               .content = "content of " + path,
                               .vector = {1.0f, angle, 0.0f, 0.0f},
                               .model_name = identity.model_name,
                               .model_revision = identity.model_revision,
                               .query_prefix = identity.query_prefix,
                               .doc_prefix = identity.doc_prefix,
                               .content_format = identity.content_format}));
      angle += 0.5f;
    }
    SemanticStore(platform::lancedb_dir(data_.path())).overwrite("demo", rows);
  }
  core::Json search(const std::string& query, std::int64_t limit = DEFAULT_SEARCH_LIMIT, SearchOptions options = {}) {
    options.root = data_.path();
    if (!options.model) options.model = model_;
    if (!options.model_factory) {
      options.model_factory = [this](const ModelSpec& model_spec) {
        replacement_specs_.push_back(model_spec);
        replacement_ = std::make_shared<FakeModel>(model_spec);
        replacement_->query_vector = Vector{1.0f, 0.0f, 0.0f, 0.0f};
        return replacement_;
      };
    }
    return semantic_search("demo", query, limit, options);
  }
  static std::vector<std::string> paths(const core::Json& result) {
    std::vector<std::string> out;
    for (const auto& entry : result["results"]) out.push_back(entry["filePath"].get<std::string>());
    return out;
  }

  core::ScratchDir data_ = core::ScratchDir::create("semantic-hybrid-");
  std::shared_ptr<FakeModel> model_ = [] {
    auto model = std::make_shared<FakeModel>(CONFIGURED);
    model->query_vector = Vector{1.0f, 0.0f, 0.0f, 0.0f};
    return model;
  }();
  std::vector<ModelSpec> replacement_specs_;
  std::shared_ptr<FakeModel> replacement_;
};

TEST_F(HybridSearchTest, MissingTableRaisesBeforeAnyLegRuns) {
  FakeZoekt zoekt;
  try {
    search("parser", 10, {.zoekt_base_url = zoekt.url()});
    FAIL() << "expected NoSemanticIndexError";
  } catch (const NoSemanticIndexError& error) {
    EXPECT_EQ(error.message(), "no semantic index for demo \u2014 run kolvex reindex demo");
    EXPECT_FALSE(error.cause());
  }
  EXPECT_TRUE(zoekt.queries().empty());
  EXPECT_TRUE(model_->queries.empty());
  EXPECT_TRUE(std::filesystem::is_directory(platform::lancedb_dir(data_.path())));
  EXPECT_THROW(semantic_search("../demo", "q", 10, {.root = data_.path(), .model = model_}), core::ValueError);
}

TEST_F(HybridSearchTest, EqualIdentityGivesTheResultWithoutWarning) {
  store_chunks({{"a.py", 1, 10, "parse"}, {"b.py", 3, 4, ""}});
  core::Json result = search("how parsing works");
  EXPECT_EQ(core::dump_json(result),
            core::dump_json(core::Json::parse(R"({"query": "how parsing works", "results": [
      {"repo": "demo", "filePath": "a.py", "startLine": 1, "endLine": 10, "symbolName": "parse",
       "content": "content of a.py", "score": 0.01639344262295082, "sources": ["vector"]},
      {"repo": "demo", "filePath": "b.py", "startLine": 3, "endLine": 4, "symbolName": null,
       "content": "content of b.py", "score": 0.016129032258064516, "sources": ["vector"]}],
      "total": 2})")));
  EXPECT_EQ(model_->queries, (std::vector<std::string>{"how parsing works"}));
  EXPECT_TRUE(replacement_specs_.empty());
}

TEST_F(HybridSearchTest, PrefixNoteOfTheModelBecomesTheWarning) {
  store_chunks({{"a.py", 1, 10, "parse"}});
  model_ = std::make_shared<FakeModel>(CONFIGURED, "embedding model fake/model is not in the known-prefix map");
  model_->query_vector = Vector{1.0f, 0.0f, 0.0f, 0.0f};
  core::Json result = search("parse");
  EXPECT_EQ(result["warning"], "embedding model fake/model is not in the known-prefix map");
  std::vector<std::string> keys;
  for (const auto& [key, value] : result.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"query", "results", "total", "warning"}));
}

TEST_F(HybridSearchTest, TableOfAnotherIdentityIsQueriedWithAModelOfThatIdentity) {
  struct Case {
    const char* name;
    TableIdentity stored;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"another model",
       {"other/model", "unpinned", "", "passage: ", 2},
       "configured embedding model fake/model@rev1 (prefixes 'q: '/'d: ', content format 2) differs from the "
       "index's other/model@unpinned (prefixes ''/'passage: ', content format 2); queried with the index's "
       "\u2014 run kolvex reindex demo to migrate"},
      {"an older content format",
       {"fake/model", "rev1", "q: ", "d: ", 0},
       "configured embedding model fake/model@rev1 (prefixes 'q: '/'d: ', content format 2) differs from the "
       "index's fake/model@rev1 (prefixes 'q: '/'d: ', content format 0); queried with the index's "
       "\u2014 run kolvex reindex demo to migrate"},
      {"a quote in a prefix",
       {"fake/model", "rev1", "it's: ", "d: ", 2},
       "configured embedding model fake/model@rev1 (prefixes 'q: '/'d: ', content format 2) differs from the "
       "index's fake/model@rev1 (prefixes \"it's: \"/'d: ', content format 2); queried with the index's "
       "\u2014 run kolvex reindex demo to migrate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    replacement_specs_.clear();
    model_->queries.clear();
    store_chunks({{"a.py", 1, 10, "parse"}}, c.stored);
    core::Json result = search("parse");
    EXPECT_EQ(result["warning"], c.warning);
    EXPECT_EQ(replacement_specs_, (std::vector<ModelSpec>{{c.stored.model_name, c.stored.model_revision,
                                                           c.stored.query_prefix, c.stored.doc_prefix}}));
    EXPECT_TRUE(model_->queries.empty());
    EXPECT_EQ(replacement_->queries, (std::vector<std::string>{"parse"}));
    EXPECT_EQ(paths(result), (std::vector<std::string>{"a.py"}));
  }
}

TEST_F(HybridSearchTest, ZoektLegIsFilteredToTheRepositoryAndForgivesAnUnusableService) {
  store_chunks({{"a.py", 1, 10, "parse"}});
  FakeZoekt zoekt;
  zoekt.hits = {{"a.py", 5, "def parse():"}, {"z.py", 7, "parsing = True"}};
  core::Json result = search("how does parsing work", 10, {.zoekt_base_url = zoekt.url()});
  EXPECT_EQ(zoekt.queries(), (std::vector<std::string>{"r:^demo$ (parsing or work)"}));
  EXPECT_EQ(paths(result), (std::vector<std::string>{"a.py", "z.py"}));
  EXPECT_EQ(result["results"][0]["sources"], core::Json::parse(R"(["vector", "zoekt"])"));
  EXPECT_EQ(result["results"][1]["symbolName"], nullptr);
  EXPECT_EQ(result["results"][1]["content"], "parsing = True");

  search("", 10, {.zoekt_base_url = zoekt.url()});
  EXPECT_EQ(zoekt.queries().back(), "r:^demo$ ");

  SCOPED_TRACE("no address, an unreachable service and a rejected query give an empty leg");
  FakeZoekt rejecting(400);
  for (const std::optional<std::string>& url :
       std::vector<std::optional<std::string>>{std::nullopt, closed_url(), rejecting.url()}) {
    core::Json alone = search("parse", 10, {.zoekt_base_url = url});
    EXPECT_EQ(paths(alone), (std::vector<std::string>{"a.py"}));
    EXPECT_EQ(alone.count("warning"), 0u);
  }
  EXPECT_EQ(rejecting.queries().size(), 1u);

  SCOPED_TRACE("any other Zoekt failure fails the search");
  FakeZoekt failing(500);
  EXPECT_THROW(search("parse", 10, {.zoekt_base_url = failing.url()}), platform::ZoektError);
}

TEST_F(HybridSearchTest, SymbolLegFromTheScipDatabaseAndForgivenFailures) {
  store_chunks({{"src/app.py", 1, 3, "main"}});
  auto db_path = data_.path() / "index.db";
  testkit::write_symbol_database(
      db_path, {{testkit::py_symbol("app/Parser#"), testkit::Lines{19, 29}, "src/app.py"}});
  core::Connection scip = core::Connection::open(db_path, {.read_only = true});
  core::Json result = search("Parser", 10, {.scip_conn = &scip});
  EXPECT_EQ(paths(result), (std::vector<std::string>{"src/app.py", "src/app.py"}));
  EXPECT_EQ(result["results"][1]["startLine"], 20);
  EXPECT_EQ(result["results"][1]["endLine"], 30);
  EXPECT_EQ(result["results"][1]["symbolName"], "app.Parser");
  EXPECT_EQ(result["results"][1]["sources"], core::Json::parse(R"(["symbol"])"));

  core::Connection empty = core::Connection::open(data_.path() / "empty.db");
  core::Json without = search("Parser", 10, {.scip_conn = &empty});
  EXPECT_EQ(paths(without), (std::vector<std::string>{"src/app.py"}));
  EXPECT_EQ(without.count("warning"), 0u);
}

TEST_F(HybridSearchTest, LimitCutsAfterFusion) {
  store_chunks({{"a.py", 1, 2, "a"}, {"b.py", 1, 2, "b"}, {"c.py", 1, 2, "c"}});
  FakeZoekt zoekt;
  struct Case {
    std::int64_t limit;
    std::vector<std::string> expected;
  };
  for (const Case& c : std::vector<Case>{{0, {}}, {2, {"a.py", "b.py"}}, {10, {"a.py", "b.py", "c.py"}}, {-1, {}}}) {
    SCOPED_TRACE(c.limit);
    std::size_t queries = zoekt.queries().size();
    core::Json result = search("parse", c.limit, {.zoekt_base_url = zoekt.url()});
    EXPECT_EQ(paths(result), c.expected);
    EXPECT_EQ(result["total"], c.expected.size());
    EXPECT_EQ(zoekt.queries().size(), queries + 1);  // every leg still runs
  }
}

TEST(ZoektLexicalQuery, RewritesNaturalLanguageOnly) {
  struct Case {
    const char* query;
    const char* expected;
  };
  for (const Case& c : std::vector<Case>{
           {"lang:go parser", "lang:go parser"},
           {"find sym:Parse", "find sym:Parse"},
           {"foo(bar) baz", "foo(bar) baz"},
           {"say \"hi there\"", "say \"hi there\""},
           {"Lang:go parser", "(lang or parser)"},
           {"xfile:parser lexer", "(xfile or parser or lexer)"},
           {"tokenize", "tokenize"},
           {"  tokenize  ", "  tokenize  "},
           {"how does parsing work", "(parsing or work)"},
           {"what is it", "what is it"},
           {"parser parser", "parser parser"},
           {"", ""},
       }) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(detail::zoekt_lexical_query(c.query), c.expected);
  }
  EXPECT_EQ(detail::zoekt_query("api.v2", "x"), "r:^api\\.v2$ x");
}

}  // namespace
}  // namespace kolvex::semantic
