// Durable single-key writes: the configuration database service writing one key into the cache
// store (each write synchronised to disk), beside SQLite committing one row per write (rollback
// journal and WAL, both with synchronous FULL) and the bare floor of the file system: the same
// number of bytes written in place, cut to length and synchronised.
//
// All variants keep their files in one folder (QEM_BENCH_DIR) and run interleaved in one
// process run (--benchmark_enable_random_interleaving); compare their medians.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>
#include <memory>

#include "bench/bench_support.h"
#include "services/flat/qem_flat.h"

namespace {

constexpr int kServiceIndex = 900000;  // sub-domain numbers of the written documents

std::filesystem::path WriteRoot() {
  static const std::filesystem::path root = bench::FreshFolder("write");
  return root;
}

std::string CacheFolder() {
  static const std::string folder = bench::UseSystemRoot(WriteRoot() / "root");
  return folder;
}

// The document of `keys` keys that the service rewrites, seeded once; answers its file size.
size_t SeededDocument(int keys) {
  static std::map<int, size_t> sizes;
  auto found = sizes.find(keys);
  if (found != sizes.end()) return found->second;
  const size_t size = bench::SeedDocument(CacheFolder(), kServiceIndex + keys, keys);
  sizes[keys] = size;
  return size;
}

_QemPCDService* Service() {
  CacheFolder();
  static _QemPCDService* service = QemPCDServiceCreate(nullptr);
  if (service == nullptr) bench::Fail("QemPCDServiceCreate");
  return service;
}

void BM_ServiceWrite(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const size_t bytes = SeededDocument(keys);
  _QemPCDService* service = Service();
  const std::string subDomain = bench::SubDomainName(kServiceIndex + keys);
  static std::map<int, int> rounds;
  int& round = rounds[keys];
  for (auto _ : state) {
    const int key = round % keys;
    const std::string value = bench::Value(kServiceIndex + keys, key, ++round);
    const int32_t code = QemPCDServiceSetValueForKeyInSubDomain(
        service, value.c_str(), bench::KeyName(key).c_str(), subDomain.c_str(), PCDStoreCache);
    if (code != 0) {
      state.SkipWithError("SetValueForKeyInSubDomain failed");
      break;
    }
  }
  state.counters["doc_bytes"] = static_cast<double>(bytes);
}

// One database per journal mode and document size, seeded with the document's keys.
struct SqliteWriter {
  std::unique_ptr<bench::Database> db;
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* commit = nullptr;
  int round = 0;
};

SqliteWriter& Writer(bool wal, int keys) {
  static std::map<std::pair<bool, int>, SqliteWriter> writers;
  SqliteWriter& writer = writers[{wal, keys}];
  if (writer.db) return writer;
  const std::string path =
      (WriteRoot() / ((wal ? "wal-" : "delete-") + std::to_string(keys) + ".db")).string();
  writer.db = std::make_unique<bench::Database>(path);
  writer.db->Exec(wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
  writer.db->Exec("PRAGMA synchronous=FULL");
  bench::SeedDatabase(writer.db.get(), 1, keys, kServiceIndex + keys);
  writer.begin = writer.db->Prepare("BEGIN");
  writer.insert = writer.db->Prepare("INSERT OR REPLACE INTO kv VALUES(?1, ?2, ?3)");
  writer.commit = writer.db->Prepare("COMMIT");
  return writer;
}

void SqliteWrite(benchmark::State& state, bool wal) {
  const int keys = static_cast<int>(state.range(0));
  SqliteWriter& writer = Writer(wal, keys);
  const std::string subDomain = bench::SubDomainName(kServiceIndex + keys);
  for (auto _ : state) {
    const int key = writer.round % keys;
    const std::string name = bench::KeyName(key);
    const std::string value = bench::Value(kServiceIndex + keys, key, ++writer.round);
    bool ok = sqlite3_step(writer.begin) == SQLITE_DONE;
    sqlite3_reset(writer.begin);
    sqlite3_bind_text(writer.insert, 1, subDomain.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(writer.insert, 2, name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(writer.insert, 3, value.c_str(), -1, SQLITE_STATIC);
    ok = sqlite3_step(writer.insert) == SQLITE_DONE && ok;
    sqlite3_reset(writer.insert);
    ok = sqlite3_step(writer.commit) == SQLITE_DONE && ok;
    sqlite3_reset(writer.commit);
    if (!ok) {
      state.SkipWithError("sqlite write failed");
      break;
    }
  }
}

void BM_SqliteDeleteFull(benchmark::State& state) { SqliteWrite(state, false); }
void BM_SqliteWalFull(benchmark::State& state) { SqliteWrite(state, true); }

// The floor: the document's bytes rewritten in place, cut to length and synchronised, on a file
// kept open.
void BM_FloorWrite(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const size_t bytes = SeededDocument(keys);
  static std::map<int, std::unique_ptr<platform::File>> files;
  std::unique_ptr<platform::File>& file = files[keys];
  if (!file) {
    platform::FileOpenOptions options;
    options.write = true;
    options.disposition = platform::FileDisposition::kOpenAlways;
    const std::string path = (WriteRoot() / ("floor-" + std::to_string(keys) + ".bin")).string();
    if (platform::OpenFile(path, options, &file) != 0) bench::Fail("open " + path);
  }
  std::string text(bytes, 'x');
  int round = 0;
  for (auto _ : state) {
    text[round++ % bytes] ^= 1;
    uint64_t position = 1;
    uint32_t moved = 0;
    if (file->Seek(0, &position) != 0 || file->Write(text.data(), bytes, &moved) != 0 ||
        moved != bytes || file->SetEndOfFile() != 0 || file->Flush() != 0) {
      state.SkipWithError("floor write failed");
      break;
    }
  }
  state.counters["doc_bytes"] = static_cast<double>(bytes);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(10)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(20);
}

BENCHMARK(BM_ServiceWrite)->Apply(Sizes);
BENCHMARK(BM_SqliteDeleteFull)->Apply(Sizes);
BENCHMARK(BM_SqliteWalFull)->Apply(Sizes);
BENCHMARK(BM_FloorWrite)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
