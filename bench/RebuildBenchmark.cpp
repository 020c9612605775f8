// Measures the bitmap rebuild per value, over a list of names and over the stand-in registry.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "NetworkStoreName.h"
#include "StandIn.h"
#include "registry/RegistryKey.h"
#include "repair/RebuildUsedIndices.h"

namespace {

// Distinct names of the network store; every fourth interface is of the type asked for.
std::vector<std::wstring> StoreNames(size_t count) {
    std::vector<std::wstring> names;
    names.reserve(count);
    for (size_t i = 0; i < count; ++i)
        names.push_back(NetworkStoreName(static_cast<unsigned>(i), (i % 4 == 0) ? 6u : 24u));
    return names;
}

void PureCore(benchmark::State& state) {
    const std::vector<std::wstring> names = StoreNames(static_cast<size_t>(state.range(0)));
    std::vector<NetworkStoreValue> values;
    for (const std::wstring& name : names)
        values.push_back(
            NetworkStoreValue{name.c_str(), static_cast<DWORD>(name.size()), REG_BINARY});
    UsedIndexBitmap bitmap;
    for (auto _ : state) {
        RebuildUsedIndicesFromValues(6, values.data(), static_cast<DWORD>(values.size()), &bitmap);
        benchmark::DoNotOptimize(bitmap);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void WalkOverStandIn(benchmark::State& state) {
    standin::Reset();
    for (const std::wstring& name : StoreNames(static_cast<size_t>(state.range(0))))
        standin::SeedValue(L"Store", name, REG_BINARY, {});
    RegistryKey store;
    if (!store.Open(HKEY_LOCAL_MACHINE, L"Store", KEY_READ)) {
        state.SkipWithError("store key missing");
        return;
    }
    UsedIndexBitmap bitmap;
    for (auto _ : state) {
        benchmark::DoNotOptimize(RebuildUsedIndices(store.Get(), 6, &bitmap));
        benchmark::DoNotOptimize(bitmap);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(PureCore)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(WalkOverStandIn)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
