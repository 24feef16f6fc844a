// What a row's attributes cost qdvp-dch in the form it stores them, for the row of the
// reference peers' input (eight text attributes, bench/rowroad.mdl) and for the file burst's
// sample row (bench/benchrows.h: text and numbers). Each form is built from the decoded message
// and inserted, 256 rows a transaction, into an SQLite table of the store's layout (WAL,
// synchronous=NORMAL, as qdvp-dch runs it):
//   - JsonObject: {"name":value,...}, the form the rows view shows;
//   - JsonArray: [value,...], the names kept once for many rows (what the store keeps);
//   - Delimited: the values joined by a tab, as they came;
//   - Nothing: an empty text, the cost of the insert itself.
// Reference in the same run: the insert of the same row with the attributes as one text bound
// as it is, built by nothing.
//
// BM_RowsPerStatement: the store's insert alone (the peers' row as its JSON array, 256 rows a
// transaction), by statements of 1, 16 or 64 rows each, with and without the index on the
// group; and with one row a transaction, as a link with one row in flight commits; with pages
// of 4 KiB (SQLite's default) and of 1 KiB (what the store creates).
//
// Run: build/default/bin/qdvp_bench_dchattrs
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/benchrows.h"
#include "bench/benchsupport.h"
#include "include/qdvp_agentlink.h"
#include "include/qdvp_wire.h"
#include "tools/dch/dchdecode.h"

namespace {

using qdvp_bench::Be16;
using qdvp_bench::Be32;
using qdvp_bench::Field;

// A data message of the attributes given (name, type letter and value bytes).
std::string RowMessage(const std::vector<std::pair<std::string, std::string>> &attrs) {
  std::string fields = Field(QDVP_FIELD_REQUEST, Be16(QDVP_REQ_DP_DATA)) +
                       Field(QDVP_FIELD_DCH_HANDLE, Be32(1)) +
                       Field(QDVP_FIELD_DATA_SEQUENCE, Be16(0));
  for (const auto &[name, value] : attrs) {
    fields += Field(QDVP_FIELD_ATTR_NAME, name) + Field(QDVP_FIELD_ATTR_VALUE, value);
  }
  fields += Field(QDVP_FIELD_ROW_SEQUENCE, Be32(1) + Be32(1));
  return Be32(static_cast<uint32_t>(fields.size() + 4)) + fields;
}

// The peers' line as the data provider sends it: eight display attributes.
std::string TextRow() {
  return RowMessage({{"Stamp", "D2024-05-01T00:00:00.001Z"},
                     {"Host", "Dhost-7093"},
                     {"Level", "DWARN"},
                     {"Subsystem", "Dnet"},
                     {"Metric", "Dtx_pkts"},
                     {"Value", "D958.065"},
                     {"Sequence", "D1"},
                     {"Message", "Dfast timeout path fastxxxxxxxxxxxxxxx"}});
}

// The file burst's sample row: texts and numbers.
std::string SampleRow() {
  return RowMessage({{"Stamp", "D2026-12-06T01:00:00.000997"},
                     {"Host", "Ddbhost01"},
                     {"Cpu", "G" + Be32(1)},
                     {"Reads", "C" + Be32(800001)},
                     {"Memory", "G" + Be32(1024037)},
                     {"Connections", "G" + Be32(21)},
                     {"State", "Didle"},
                     {"Device", "Deth1"}});
}

enum Form { kJsonObject, kJsonArray, kDelimited, kNothing };

// Builds the form from the decoded message into *out.
void Build(Form form, const qdvp_dch::DchMessage &m, std::string *out) {
  thread_local std::vector<qdvp_dch::DchAttrView> views;
  out->clear();
  switch (form) {
    case kJsonObject:
      qdvp_dch::DchRowAttrsText(m, out);
      break;
    case kJsonArray:
      qdvp_dch::DchRowAttrViews(m, &views);
      qdvp_dch::DchRowAttrsArrays(views, out, nullptr);
      break;
    case kDelimited:
      for (size_t i = 0; i < m.attributes.size(); i++) {
        if (i > 0) *out += '\t';
        *out += m.attributes[i].second.bytes;
      }
      break;
    case kNothing:
      break;
  }
}

// Arguments: the form, and 0 for the text row, 1 for the sample row. Per iteration one row:
// decoded, built, inserted.
void BM_AttrsBuildAndInsert(benchmark::State &state) {
  Form form = static_cast<Form>(state.range(0));
  std::string message = state.range(1) == 0 ? TextRow() : SampleRow();
  qdvp_bench::TempDir dir;
  sqlite3 *db = nullptr;
  sqlite3_open((dir.path + "/a.db").c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE row_data (id "
               "INTEGER PRIMARY KEY, received_ms INTEGER, handle INTEGER, group_id INTEGER, "
               "data_sequence INTEGER, attrs TEXT, row_stream INTEGER, row_number INTEGER); "
               "CREATE INDEX rows_by_group ON row_data (group_id)",
               nullptr, nullptr, nullptr);
  sqlite3_stmt *insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO row_data (received_ms, handle, group_id, data_sequence, attrs, "
                     "row_stream, row_number) VALUES (?1, 1, 1, 0, ?2, 1, ?3)",
                     -1, &insert, nullptr);
  qdvp_dch::DchMessage m;
  std::string text;
  int64_t n = 0, bytes = 0;
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    qdvp_dch::DchDecodeMessage(reinterpret_cast<const unsigned char *>(message.data()),
                               message.size(), &m);
    Build(form, m, &text);
    bytes += static_cast<int64_t>(text.size());
    sqlite3_bind_int64(insert, 1, 1733433192123 + n);
    sqlite3_bind_text(insert, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, ++n);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    if (n % 256 == 0) {
      sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.counters["attr_bytes"] = n > 0 ? static_cast<double>(bytes) / static_cast<double>(n) : 0;
}

// The same forms built only (decoded and built, not stored).
void BM_AttrsBuild(benchmark::State &state) {
  Form form = static_cast<Form>(state.range(0));
  std::string message = state.range(1) == 0 ? TextRow() : SampleRow();
  qdvp_dch::DchMessage m;
  std::string text;
  for (auto _ : state) {
    qdvp_dch::DchDecodeMessage(reinterpret_cast<const unsigned char *>(message.data()),
                               message.size(), &m);
    Build(form, m, &text);
    benchmark::DoNotOptimize(text.data());
  }
}

void Forms(benchmark::internal::Benchmark *b) {
  b->ArgNames({"form", "row"});
  for (int row : {0, 1}) {
    for (int form : {kJsonObject, kJsonArray, kDelimited, kNothing}) b->Args({form, row});
  }
}

// Arguments: rows a statement, whether the group index is kept, rows a transaction, the page
// size. Per iteration one row inserted.
void BM_RowsPerStatement(benchmark::State &state) {
  const int perStatement = static_cast<int>(state.range(0));
  const bool index = state.range(1) != 0;
  const int perTransaction = static_cast<int>(state.range(2));
  // Checkpoints every 16 MiB of WAL, as the store has them.
  const std::string pageSize =
      "PRAGMA page_size=" + std::to_string(state.range(3)) +
      "; PRAGMA wal_autocheckpoint=" + std::to_string(16 * 1024 * 1024 / state.range(3));
  qdvp_bench::TempDir dir;
  sqlite3 *db = nullptr;
  sqlite3_open((dir.path + "/a.db").c_str(), &db);
  sqlite3_exec(db, pageSize.c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
               "CREATE TABLE row_data (id INTEGER PRIMARY KEY, received_ms INTEGER, handle "
               "INTEGER, group_id INTEGER, data_sequence INTEGER, layout_id INTEGER, attrs TEXT, "
               "row_stream INTEGER, row_number INTEGER)",
               nullptr, nullptr, nullptr);
  if (index) {
    sqlite3_exec(db, "CREATE INDEX row_data_by_group ON row_data (group_id)", nullptr, nullptr,
                 nullptr);
  }
  std::string sql =
      "INSERT INTO row_data (received_ms, handle, group_id, data_sequence, layout_id, attrs, "
      "row_stream, row_number) VALUES ";
  for (int row = 0; row < perStatement; row++) {
    sql += row == 0 ? "(" : ",(";
    for (int column = 0; column < 8; column++) {
      sql += (column > 0 ? ",?" : "?") + std::to_string(row * 8 + column + 1);
    }
    sql += ')';
  }
  sqlite3_stmt *insert = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr);
  const std::string attrs =
      "[\"2024-05-01T00:00:00.001Z\",\"host-7093\",\"WARN\",\"net\",\"tx_pkts\",\"958.065\","
      "\"1\",\"fast timeout path fastxxxxxxxxxxxxxxx\"]";
  int64_t n = 0;
  int bound = 0;
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (auto _ : state) {
    int p = bound * 8;
    ++n;
    sqlite3_bind_int64(insert, p + 1, 1733433192123 + n);
    sqlite3_bind_int64(insert, p + 2, 1);
    sqlite3_bind_int64(insert, p + 3, 1);
    sqlite3_bind_int(insert, p + 4, 0);
    sqlite3_bind_int64(insert, p + 5, 1);
    sqlite3_bind_text(insert, p + 6, attrs.data(), static_cast<int>(attrs.size()), SQLITE_STATIC);
    sqlite3_bind_int64(insert, p + 7, 1);
    sqlite3_bind_int64(insert, p + 8, n);
    if (++bound == perStatement) {
      sqlite3_step(insert);
      sqlite3_reset(insert);
      bound = 0;
    }
    if (n % perTransaction == 0) sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

BENCHMARK(BM_AttrsBuild)->Apply(Forms);
BENCHMARK(BM_RowsPerStatement)
    ->ArgNames({"rows_per_statement", "index", "rows_per_commit", "page"})
    ->Args({1, 1, 256, 4096})
    ->Args({16, 1, 256, 4096})
    ->Args({64, 1, 256, 4096})
    ->Args({1, 0, 256, 4096})
    ->Args({64, 0, 256, 4096})
    ->Args({64, 1, 256, 1024})
    ->Args({1, 1, 1, 4096})
    ->Args({1, 0, 1, 4096})
    ->Args({1, 1, 1, 1024})
    ->Args({1, 0, 1, 1024});
BENCHMARK(BM_AttrsBuildAndInsert)->Apply(Forms);

}  // namespace

BENCHMARK_MAIN();
