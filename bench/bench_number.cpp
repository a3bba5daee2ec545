// parse_float32 on plot-file-shaped fields, beside strtof and
// std::from_chars<float> on the very same texts in the same run.
// Fields are trimmed first, as the reader hands them over.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "text/number/number.hpp"

namespace {

constexpr std::size_t kFields = 4096;

// A seeded mix of what a simulation writes: pressures near 1e5,
// temperatures 300-2000 K, signed flows of all sizes including zero, and
// exponents E-30..E+30. `digits` significant digits, in the
// " 1.01325E+05" layout of a `width`-wide column.
struct FieldSet {
  std::string storage;
  std::vector<std::string_view> fields;
};

FieldSet make_fields(int digits, unsigned seed) {
  std::mt19937_64 rng(seed);
  auto uniform = [&rng] { return static_cast<double>(rng() >> 11) * 0x1p-53; };
  std::vector<std::string> texts;
  texts.reserve(kFields);
  char buf[64];
  for (std::size_t i = 0; i < kFields; ++i) {
    double v;
    switch (rng() % 5) {
      case 0: v = 1.01325e5 * (0.9 + 0.2 * uniform()); break;        // pressure
      case 1: v = 300.0 + 1700.0 * uniform(); break;                   // temperature
      case 2: v = -std::pow(10.0, -30.0 + 60.0 * uniform()); break;  // negative flow
      case 3: v = rng() % 4 == 0 ? 0.0 : std::pow(10.0, -30.0 + 10.0 * uniform()); break;  // tiny or zero
      default: v = (rng() % 2 ? 1.0 : -1.0) * std::pow(10.0, -30.0 + 60.0 * uniform()); break;
    }
    std::snprintf(buf, sizeof buf, "%.*E", digits - 1, v);
    texts.emplace_back(buf);
  }
  FieldSet set;
  for (const auto& t : texts) set.storage += t;
  std::size_t at = 0;
  for (const auto& t : texts) {
    set.fields.emplace_back(set.storage.data() + at, t.size());
    at += t.size();
  }
  return set;
}

const FieldSet& fields_for(int digits) {
  static const FieldSet six = make_fields(6, 12);
  static const FieldSet nine = make_fields(9, 15);
  return digits == 6 ? six : nine;
}

void finish(benchmark::State& state, std::size_t n) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
  state.counters["ns_per_field"] = benchmark::Counter(
      static_cast<double>(state.iterations() * n), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_parse_float32(benchmark::State& state) {
  const auto& set = fields_for(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    float sum = 0;
    for (auto f : set.fields) sum += novrel::text::parse_float32(f).value;
    benchmark::DoNotOptimize(sum);
  }
  finish(state, set.fields.size());
}

// strtof needs a terminator: the fields are copied once, outside the loop.
void BM_strtof(benchmark::State& state) {
  const auto& set = fields_for(static_cast<int>(state.range(0)));
  std::vector<std::string> owned(set.fields.begin(), set.fields.end());
  for (auto _ : state) {
    float sum = 0;
    for (const auto& f : owned) sum += std::strtof(f.c_str(), nullptr);
    benchmark::DoNotOptimize(sum);
  }
  finish(state, owned.size());
}

void BM_from_chars(benchmark::State& state) {
  const auto& set = fields_for(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    float sum = 0;
    for (auto f : set.fields) {
      float v = 0;
      std::from_chars(f.data(), f.data() + f.size(), v);
      sum += v;
    }
    benchmark::DoNotOptimize(sum);
  }
  finish(state, set.fields.size());
}

// Arguments: significant digits (6 for 12-wide fields, 9 for 15-wide).
BENCHMARK(BM_parse_float32)->Arg(6)->Arg(9);
BENCHMARK(BM_strtof)->Arg(6)->Arg(9);
BENCHMARK(BM_from_chars)->Arg(6)->Arg(9);

}  // namespace
