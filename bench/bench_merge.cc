// Costs per document size (10, 100 and 1,000 keys): loading a stored text into a document, the
// merge and printing of a synchronisation (one changed key replayed onto the stored text, then
// printed compactly and sealed), and the listing, per document, of a store of such documents.
#include <benchmark/benchmark.h>

#include <map>

#include "bench/bench_support.h"
#include "cache/front/front.h"

namespace {

constexpr int kListedDocuments = 100;

const std::string& StoredText(int keys) {
  static std::map<int, std::string> texts;
  std::string& text = texts[keys];
  if (text.empty()) text = bench::DocumentText(bench::SubDomainName(1), 1, keys);
  return text;
}

void BM_Load(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const std::string& text = StoredText(keys);
  const std::string name = bench::SubDomainName(1);
  for (auto _ : state) {
    SLCacheDoc document(kSLCacheDocUnchanged);
    if (document.initWithXMLString(text, name.c_str(), "x.slc") != kSLCacheOk)
      state.SkipWithError("initWithXMLString");
    const char* value = nullptr;
    document.getValueForKey(name.c_str(), bench::kMappingKey, &value);
    benchmark::DoNotOptimize(value);
  }
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}

// The CPU part of one synchronised write: merge, print, seal.
void BM_MergePrintSeal(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  const std::string& text = StoredText(keys);
  const std::string name = bench::SubDomainName(1);
  SLCacheDoc cached(kSLCacheDocUnchanged);
  cached.initWithXMLString(text, name.c_str(), "x.slc");
  cached.setValueForKey(name.c_str(), bench::KeyName(keys / 2).c_str(),
                        bench::Value(1, keys / 2, 7).c_str());
  SLCacheSealingKey key;
  SLCacheLoadSealingKey(&key);
  for (auto _ : state) {
    SLCacheDoc working(kSLCacheDocUnchanged);
    if (working.initWithXMLStringAndMergeCachedDoc(text, name.c_str(), "x.slc", &cached) !=
        kSLCacheOk)
      state.SkipWithError("merge");
    std::string printed;
    SLCachePrintCompact(working.xmlDocument.get(), &printed);
    embedSignature(&key, &printed);
    benchmark::DoNotOptimize(printed.data());
  }
  state.counters["doc_bytes"] = static_cast<double>(text.size());
}

// getSubDomains over a store of kListedDocuments documents; the time is per document.
void BM_ListingPerDocument(benchmark::State& state) {
  const int keys = static_cast<int>(state.range(0));
  static std::map<int, std::filesystem::path> roots;
  std::filesystem::path& root = roots[keys];
  if (root.empty()) {
    root = bench::FreshFolder("listing-" + std::to_string(keys)) / "root";
    const std::string folder = bench::UseSystemRoot(root);
    for (int i = 0; i < kListedDocuments; ++i) bench::SeedDocument(folder, i, keys);
  }
  platform::SetEnv("QemSystemRoot", root.c_str());
  SLCache front;
  front.store.prepare();
  for (auto _ : state) {
    char** names = nullptr;
    if (front.getSubDomains(&names) != kSLCacheOk) state.SkipWithError("getSubDomains");
    SLCacheFreeStringList(names);
  }
  state.SetItemsProcessed(state.iterations() * kListedDocuments);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Load)->Apply(Sizes);
BENCHMARK(BM_MergePrintSeal)->Apply(Sizes);
BENCHMARK(BM_ListingPerDocument)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
