// Cost of the digest and encoding used on every update request.
#include <benchmark/benchmark.h>

#include <string>

#include "MyMD5.h"
#include "MyString.h"

namespace {

std::string Input(benchmark::State& state) {
    std::string text(static_cast<size_t>(state.range(0)), '\0');
    for (size_t i = 0; i < text.size(); i++) {
        text[i] = static_cast<char>(i * 31 + 7);
    }
    return text;
}

void BM_Md5(benchmark::State& state) {
    const std::string text = Input(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(md5(text));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Md5)->Arg(8)->Arg(64)->Arg(1024);

void BM_Base64Encode(benchmark::State& state) {
    const std::string text = Input(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(MyString::Base64Encode(text));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(8)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
