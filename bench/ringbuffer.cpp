// Throughput of the transmit ring buffer in 64-byte pieces, as the port's
// senders queue them and the write thread drains them in place.
//
//   cmake -S . -B build -DKELVOX_BENCH=ON && cmake --build build --target bench_ringbuffer
//   build/bench/bench_ringbuffer
//
// OneThread: producer and consumer alternate on one thread (no lock), the
// cost of the buffer itself. TwoThreads: a sender thread and a draining
// thread share the buffer under one mutex, with the lock released while the
// drained run is copied out, the way the port core drives it.
#include "serial/AfCircularBuffer.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr std::int32_t kPiece = 64;

// The device's side of an in-place run: copy it out (as write() copies into
// the kernel) and check that the bytes arrive in sequence.
struct Sink {
    std::vector<std::uint8_t> store = std::vector<std::uint8_t>(1 << 16);
    std::uint8_t expect = 0;
    bool ok = true;

    void Take(const std::uint8_t* p, std::int32_t n) {
        std::memcpy(store.data(), p, static_cast<std::size_t>(n));
        if (p[0] != expect || p[n - 1] != static_cast<std::uint8_t>(expect + n - 1))
            ok = false;
        expect = static_cast<std::uint8_t>(expect + n);
    }
};

std::vector<std::uint8_t> Pattern() {
    // 64-byte pieces of a running byte sequence: 256 is a multiple of 64, so
    // piece k starts at offset (k % 4) * 64.
    std::vector<std::uint8_t> v(256 + kPiece);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::uint8_t>(i);
    return v;
}

// Reports the rate over wall-clock time as a label, e.g. "6021 MB/s".
void SetMBps(benchmark::State& state, double bytes, std::chrono::steady_clock::time_point start) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    char label[64];
    std::snprintf(label, sizeof label, "%.0f MB/s", seconds > 0 ? bytes / 1e6 / seconds : 0.0);
    state.SetLabel(label);
}

void BM_OneThread(benchmark::State& state) {
    const auto capacity = static_cast<std::int32_t>(state.range(0));
    TAfCircularBuffer buf(capacity);
    const std::vector<std::uint8_t> pattern = Pattern();
    Sink sink;
    std::uint32_t piece = 0;
    double bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        // Queue pieces until one is refused, then drain run by run.
        while (buf.Write(pattern.data() + (piece % 4) * kPiece, kPiece))
            ++piece;
        while (buf.Count() > 0) {
            const std::int32_t n = buf.LinearReadSize();
            sink.Take(buf.ReadPtr(), n);
            buf.Remove(n);
            bytes += n;
        }
    }
    if (!sink.ok)
        state.SkipWithError("bytes arrived out of order");
    SetMBps(state, bytes, start);
}

void BM_TwoThreads(benchmark::State& state) {
    const auto capacity = static_cast<std::int32_t>(state.range(0));
    constexpr std::int64_t kBytesPerIteration = 8 << 20;
    const std::vector<std::uint8_t> pattern = Pattern();
    double bytes = 0;
    bool ok = true;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        TAfCircularBuffer buf(capacity);
        std::mutex txLock;
        std::condition_variable spaceFree, dataReady;
        Sink sink;

        std::thread sender([&] {
            std::uint32_t piece = 0;
            for (std::int64_t sent = 0; sent < kBytesPerIteration; sent += kPiece, ++piece) {
                std::unique_lock lock(txLock);
                spaceFree.wait(lock, [&] { return buf.FreeSpace() >= kPiece; });
                buf.Write(pattern.data() + (piece % 4) * kPiece, kPiece);
                lock.unlock();
                dataReady.notify_one();
            }
        });

        std::int64_t drained = 0;
        while (drained < kBytesPerIteration) {
            std::unique_lock lock(txLock);
            dataReady.wait(lock, [&] { return buf.Count() > 0; });
            const std::uint8_t* run = buf.ReadPtr();
            const std::int32_t n = buf.LinearReadSize();
            lock.unlock();
            // The run still counts as stored, so the sender cannot touch it.
            sink.Take(run, n);
            lock.lock();
            buf.Remove(n);
            lock.unlock();
            spaceFree.notify_one();
            drained += n;
        }
        sender.join();
        ok = ok && sink.ok;
        bytes += static_cast<double>(drained);
    }
    if (!ok)
        state.SkipWithError("bytes arrived out of order");
    SetMBps(state, bytes, start);
}

} // namespace

// 2048 is the default transmit buffer size of a port.
BENCHMARK(BM_OneThread)->Arg(2048)->Arg(65536);
BENCHMARK(BM_TwoThreads)->Arg(2048)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
