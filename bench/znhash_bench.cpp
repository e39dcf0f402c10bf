// ZnHashTable against std::unordered_map<std::string, void*>: insertion and
// lookup of 100,000 random 12-byte text keys. Compare the CPU times of the
// pairs (ZnHash_* against UnorderedMap_*). The shared main (bench_support)
// makes and joins a thread before anything is measured.
//
// The table's search is StringFind with chains that grow to four entries per
// bucket before the array grows fourfold, so at 100,000 keys (65,536 buckets)
// a lookup walks 1.5 entries on average; the map keeps its load at most 1.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "re5zor4/znhash.h"

namespace {

constexpr int kKeyCount = 100000;
constexpr int kKeyLength = 12;

// The same keys for every run: 12 random printable characters each.
const std::vector<std::string>& Keys() {
  static const std::vector<std::string> keys = [] {
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> character(0x21, 0x7E);
    std::vector<std::string> made;
    made.reserve(kKeyCount);
    for (int i = 0; i < kKeyCount; ++i) {
      std::string key(kKeyLength, ' ');
      for (char& c : key) c = static_cast<char>(character(random));
      made.push_back(key);
    }
    return made;
  }();
  return keys;
}

void* ValueOf(int i) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(i) + 1);
}

void ZnHash_Insert(benchmark::State& state) {
  const std::vector<std::string>& keys = Keys();
  for (auto _ : state) {
    ZnHashTable table(ZnHashTable::kTextKey, nullptr);
    for (int i = 0; i < kKeyCount; ++i) {
      table.ChangeValue(keys[i].c_str(), ValueOf(i), 1, 1, nullptr);
    }
    benchmark::DoNotOptimize(table.GetNum());
  }
  state.SetItemsProcessed(state.iterations() * kKeyCount);
}
BENCHMARK(ZnHash_Insert)->Unit(benchmark::kMillisecond);

void UnorderedMap_Insert(benchmark::State& state) {
  const std::vector<std::string>& keys = Keys();
  for (auto _ : state) {
    std::unordered_map<std::string, void*> map;
    for (int i = 0; i < kKeyCount; ++i) map[keys[i]] = ValueOf(i);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * kKeyCount);
}
BENCHMARK(UnorderedMap_Insert)->Unit(benchmark::kMillisecond);

void ZnHash_Lookup(benchmark::State& state) {
  const std::vector<std::string>& keys = Keys();
  ZnHashTable table(ZnHashTable::kTextKey, nullptr);
  for (int i = 0; i < kKeyCount; ++i) table.ChangeValue(keys[i].c_str(), ValueOf(i), 1, 1, nullptr);
  unsigned long longest = 0;
  const double average = table.AverageSearch(longest);
  for (auto _ : state) {
    for (int i = 0; i < kKeyCount; ++i) {
      benchmark::DoNotOptimize(table.GetValue(keys[i].c_str(), nullptr));
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeyCount);
  state.counters["avg_search"] = average;
  state.counters["longest"] = static_cast<double>(longest);
  state.counters["buckets"] = static_cast<double>(table.GetBucketCount());
}
BENCHMARK(ZnHash_Lookup)->Unit(benchmark::kMillisecond);

void UnorderedMap_Lookup(benchmark::State& state) {
  const std::vector<std::string>& keys = Keys();
  std::unordered_map<std::string, void*> map;
  for (int i = 0; i < kKeyCount; ++i) map[keys[i]] = ValueOf(i);
  for (auto _ : state) {
    for (int i = 0; i < kKeyCount; ++i) benchmark::DoNotOptimize(map.find(keys[i]));
  }
  state.SetItemsProcessed(state.iterations() * kKeyCount);
  state.counters["buckets"] = static_cast<double>(map.bucket_count());
}
BENCHMARK(UnorderedMap_Lookup)->Unit(benchmark::kMillisecond);

}  // namespace
