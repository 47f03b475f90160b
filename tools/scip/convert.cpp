#include "tools/scip/convert.h"

#include <google/protobuf/stubs/logging.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "blobcodec/blobcodec.h"
#include "core/sqlite.h"
#include "proto/scip.pb.h"

namespace kolvex::tools {
namespace {

constexpr std::string_view LOCAL_PREFIX = "local ";
constexpr int ZSTD_LEVEL = 3;

constexpr std::string_view SCHEMA = R"sql(
CREATE TABLE documents (
  id INTEGER PRIMARY KEY,
  relative_path TEXT NOT NULL UNIQUE
);
CREATE TABLE global_symbols (
  id INTEGER PRIMARY KEY,
  symbol TEXT NOT NULL UNIQUE,
  kind INTEGER,
  relationships BLOB
);
CREATE TABLE chunks (
  id INTEGER PRIMARY KEY,
  document_id INTEGER NOT NULL REFERENCES documents(id),
  occurrences BLOB NOT NULL
);
CREATE TABLE mentions (
  chunk_id INTEGER NOT NULL REFERENCES chunks(id),
  symbol_id INTEGER NOT NULL REFERENCES global_symbols(id),
  role INTEGER NOT NULL
);
CREATE TABLE defn_enclosing_ranges (
  id INTEGER PRIMARY KEY,
  document_id INTEGER NOT NULL REFERENCES documents(id),
  symbol_id INTEGER NOT NULL REFERENCES global_symbols(id),
  start_line INTEGER NOT NULL,
  end_line INTEGER NOT NULL
);
CREATE INDEX chunks_document ON chunks(document_id);
CREATE INDEX mentions_symbol ON mentions(symbol_id);
CREATE INDEX defn_enclosing_ranges_symbol ON defn_enclosing_ranges(symbol_id);
CREATE INDEX defn_enclosing_ranges_document ON defn_enclosing_ranges(document_id);
)sql";

bool is_global(const std::string& symbol) { return !symbol.empty() && !symbol.starts_with(LOCAL_PREFIX); }

std::string compress(const std::string& bytes) {
  std::string out(ZSTD_compressBound(bytes.size()), '\0');
  std::size_t size = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), ZSTD_LEVEL);
  if (ZSTD_isError(size)) throw ConvertError(std::string("zstd compression failed: ") + ZSTD_getErrorName(size));
  out.resize(size);
  return out;
}

scip::Index read_index(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConvertError("cannot read " + path.string() + ": " + std::strerror(errno));
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw ConvertError("cannot read " + path.string());
  scip::Index index;
  bool parsed;
  {
    google::protobuf::LogSilencer silence;  // the failure below is the report
    parsed = index.ParseFromString(std::move(bytes).str());
  }
  if (!parsed) throw ConvertError(path.string() + " is not a SCIP index (protobuf decode failed)");
  return index;
}

// Symbol ids in order of first appearance, with the first symbol information seen.
class SymbolTable {
 public:
  std::int64_t id_of(const std::string& symbol) {
    auto [it, inserted] = ids_.try_emplace(symbol, static_cast<std::int64_t>(order_.size()) + 1);
    if (inserted) order_.push_back({symbol, nullptr});
    return it->second;
  }
  void add_info(const scip::SymbolInformation& info) {
    if (!is_global(info.symbol())) return;
    Entry& entry = order_[id_of(info.symbol()) - 1];
    if (entry.info == nullptr) entry.info = &info;
  }
  struct Entry {
    std::string symbol;
    const scip::SymbolInformation* info;
  };
  const std::vector<Entry>& entries() const { return order_; }

 private:
  std::unordered_map<std::string, std::int64_t> ids_;
  std::vector<Entry> order_;
};

struct Chunk {
  std::int64_t document_id;
  std::string blob;
};
struct Mention {
  std::int64_t chunk_id, symbol_id;
  std::int32_t role;
};
struct EnclosingRange {
  std::int64_t document_id, symbol_id;
  std::int32_t start_line, end_line;
};

struct Tables {
  std::vector<std::string> documents;
  SymbolTable symbols;
  std::vector<Chunk> chunks;
  std::vector<Mention> mentions;
  std::vector<EnclosingRange> enclosing_ranges;
};

std::array<std::int32_t, 4> checked_positions(const std::vector<std::int32_t>& range, const std::string& where) {
  try {
    return blobcodec::scip_range_to_positions(range);
  } catch (const blobcodec::OccurrenceDecodeError& error) {
    throw ConvertError(where + ": " + error.message());
  }
}

// The enclosing range in packed order, newest encoding first, as readers resolve it.
std::vector<std::int32_t> enclosing_range(const scip::Occurrence& occ) {
  if (occ.has_single_line_enclosing_range()) {
    const auto& r = occ.single_line_enclosing_range();
    return {r.line(), r.start_character(), r.end_character()};
  }
  if (occ.has_multi_line_enclosing_range()) {
    const auto& r = occ.multi_line_enclosing_range();
    return {r.start_line(), r.start_character(), r.end_line(), r.end_character()};
  }
  return {occ.enclosing_range().begin(), occ.enclosing_range().end()};
}

void convert_document(const scip::Document& doc, std::int64_t document_id, Tables& tables) {
  for (const auto& info : doc.symbols()) tables.symbols.add_info(info);
  const int count = doc.occurrences_size();
  for (int start = 0; start < count; start += static_cast<int>(OCCURRENCES_PER_CHUNK)) {
    const int end = std::min(count, start + static_cast<int>(OCCURRENCES_PER_CHUNK));
    const auto chunk_id = static_cast<std::int64_t>(tables.chunks.size()) + 1;
    scip::Document chunk;
    for (int i = start; i < end; ++i) {
      const scip::Occurrence& occ = doc.occurrences(i);
      const std::string where = doc.relative_path() + ": occurrence " + std::to_string(i) + " of '" + occ.symbol() + "'";
      checked_positions(blobcodec::occurrence_range(occ), where);
      *chunk.add_occurrences() = occ;
      if (!is_global(occ.symbol())) continue;
      const std::int64_t symbol_id = tables.symbols.id_of(occ.symbol());
      tables.mentions.push_back({chunk_id, symbol_id, occ.symbol_roles()});
      const bool definition = (occ.symbol_roles() & blobcodec::SymbolRoles::DEFINITION) != 0;
      std::vector<std::int32_t> enclosing = enclosing_range(occ);
      if (definition && !enclosing.empty()) {
        auto positions = checked_positions(enclosing, where + ", enclosing range");
        tables.enclosing_ranges.push_back({document_id, symbol_id, positions[0], positions[2]});
      }
    }
    tables.chunks.push_back({document_id, compress(chunk.SerializeAsString())});
  }
}

Tables build_tables(const scip::Index& index) {
  Tables tables;
  std::unordered_map<std::string, int> seen_paths;
  for (int d = 0; d < index.documents_size(); ++d) {
    const scip::Document& doc = index.documents(d);
    if (doc.relative_path().empty()) throw ConvertError("document " + std::to_string(d) + " has no relative_path");
    if (!seen_paths.emplace(doc.relative_path(), d).second) {
      throw ConvertError("document '" + doc.relative_path() + "' appears twice");
    }
    tables.documents.push_back(doc.relative_path());
    convert_document(doc, d + 1, tables);
  }
  for (const auto& info : index.external_symbols()) tables.symbols.add_info(info);
  return tables;
}

void write_tables(const Tables& tables, const std::filesystem::path& path) {
  core::Connection db = core::Connection::open(path);
  db.exec(SCHEMA);
  core::Transaction transaction(db);
  {
    auto insert = db.prepare("INSERT INTO documents (id, relative_path) VALUES (?, ?)");
    for (std::size_t i = 0; i < tables.documents.size(); ++i) {
      insert.bind(1, static_cast<std::int64_t>(i + 1)).bind(2, tables.documents[i]).run();
      insert.reset();
    }
  }
  {
    auto insert = db.prepare("INSERT INTO global_symbols (id, symbol, kind, relationships) VALUES (?, ?, ?, ?)");
    std::int64_t id = 0;
    for (const auto& entry : tables.symbols.entries()) {
      insert.bind(1, ++id).bind(2, entry.symbol);
      if (entry.info != nullptr && entry.info->kind() != scip::SymbolInformation::UnspecifiedKind) {
        insert.bind(3, static_cast<std::int64_t>(entry.info->kind()));
      } else {
        insert.bind_null(3);
      }
      if (entry.info != nullptr && entry.info->relationships_size() > 0) {
        insert.bind_blob(4, compress(entry.info->SerializeAsString()));
      } else {
        insert.bind_null(4);
      }
      insert.run();
      insert.reset();
    }
  }
  {
    auto insert = db.prepare("INSERT INTO chunks (id, document_id, occurrences) VALUES (?, ?, ?)");
    std::int64_t id = 0;
    for (const auto& chunk : tables.chunks) {
      insert.bind(1, ++id).bind(2, chunk.document_id).bind_blob(3, chunk.blob).run();
      insert.reset();
    }
  }
  {
    auto insert = db.prepare("INSERT INTO mentions (chunk_id, symbol_id, role) VALUES (?, ?, ?)");
    for (const auto& mention : tables.mentions) {
      insert.bind(1, mention.chunk_id).bind(2, mention.symbol_id).bind(3, mention.role).run();
      insert.reset();
    }
  }
  {
    auto insert = db.prepare(
        "INSERT INTO defn_enclosing_ranges (id, document_id, symbol_id, start_line, end_line) VALUES (?, ?, ?, ?, ?)");
    std::int64_t id = 0;
    for (const auto& range : tables.enclosing_ranges) {
      insert.bind(1, ++id).bind(2, range.document_id).bind(3, range.symbol_id);
      insert.bind(4, range.start_line).bind(5, range.end_line).run();
      insert.reset();
    }
  }
  transaction.commit();
  db.close();
}

}  // namespace

void convert_index_file(const std::filesystem::path& index_path, const std::filesystem::path& db_path) {
  scip::Index index = read_index(index_path);
  Tables tables = build_tables(index);

  std::filesystem::path partial = db_path;
  partial += ".partial-" + std::to_string(::getpid());
  std::error_code ignored;
  std::filesystem::remove(partial, ignored);
  try {
    write_tables(tables, partial);
    std::filesystem::rename(partial, db_path);
  } catch (const std::exception& error) {
    std::filesystem::remove(partial, ignored);
    throw ConvertError("cannot write " + db_path.string() + ": " + error.what());
  }
}

}  // namespace kolvex::tools
