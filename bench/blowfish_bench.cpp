// The dump file's cipher against OpenSSL's Blowfish on records of dump size: each iteration keys
// a fresh state and encrypts one record in CBC mode from a zero initial vector, as the dump does.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "dllprotect/blowfish.h"

namespace {

constexpr std::array<std::uint8_t, 6> key{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

std::vector<std::uint8_t> record(benchmark::State& state) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    return data;
}

void ours_record(benchmark::State& state) {
    auto data = record(state);
    for (auto _ : state) {
        const dllprotect::blowfish cipher(key);
        cipher.encrypt_cbc(data);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void openssl_record(benchmark::State& state) {
    auto data = record(state);
    std::vector<std::uint8_t> out(data.size());
    for (auto _ : state) {
        BF_KEY schedule;
        BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
        unsigned char iv[8] = {};
        BF_cbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &schedule, iv,
                       BF_ENCRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The block loop alone, keyed once.
void ours_cbc(benchmark::State& state) {
    auto data = record(state);
    const dllprotect::blowfish cipher(key);
    for (auto _ : state) {
        cipher.encrypt_cbc(data);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void openssl_cbc(benchmark::State& state) {
    auto data = record(state);
    std::vector<std::uint8_t> out(data.size());
    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
    for (auto _ : state) {
        unsigned char iv[8] = {};
        BF_cbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &schedule, iv,
                       BF_ENCRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(ours_record)->Arg(256)->Arg(1024);
BENCHMARK(openssl_record)->Arg(256)->Arg(1024);
BENCHMARK(ours_cbc)->Arg(256)->Arg(1024);
BENCHMARK(openssl_cbc)->Arg(256)->Arg(1024);
BENCHMARK_MAIN();
