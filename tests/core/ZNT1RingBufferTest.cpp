#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/ZNT1CriticalSection.h"
#include "core/ZNT1RingBuffer.h"

TEST(RingBuffer, WrapRefuseAndPartialRead) {
  TZNT1RingBuffer rb(16);
  uint8_t in[16], out[32] = {};
  for (int i = 0; i < 16; ++i) in[i] = static_cast<uint8_t>(i + 1);

  EXPECT_EQ(rb.Write(in, 10), 16);  // the free space before the write
  EXPECT_EQ(rb.Read(out, 6), 6);
  EXPECT_EQ(std::memcmp(out, in, 6), 0);
  EXPECT_EQ(rb.Write(in, 10), 12);  // wraps: 6 at the end, 4 at the start
  EXPECT_EQ(rb.Used(), 14);
  EXPECT_EQ(rb.Write(in, 3), 0);  // only 2 free: refused, nothing written
  EXPECT_EQ(rb.Used(), 14);

  EXPECT_EQ(rb.Read(out, 20), 14);
  EXPECT_EQ(std::memcmp(out, in + 6, 4), 0);
  EXPECT_EQ(std::memcmp(out + 4, in, 10), 0);  // the wrapped write reads back in order
  EXPECT_EQ(rb.Used(), 0);
  EXPECT_EQ(rb.Read(out, 4), 0);
}

TEST(RingBuffer, ZeroByteWriteOnFullBufferReturnsFreeSpace) {
  TZNT1RingBuffer rb(8);
  uint8_t b[8] = {};
  EXPECT_EQ(rb.Write(b, 8), 8);
  EXPECT_EQ(rb.Write(b, 0), 0);
  EXPECT_EQ(rb.Used(), 8);
}

TEST(RingBuffer, OneWriterOneReaderLoseAndReorderNothing) {
  TZNT1RingBuffer rb(4096);
  constexpr uint32_t kTotal = 4'000'000;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    uint8_t block[1000];
    uint32_t next = 0;
    while (next < kTotal) {
      const uint32_t n = std::min<uint32_t>(1 + next % 997, kTotal - next);
      for (uint32_t i = 0; i < n; ++i) block[i] = static_cast<uint8_t>((next + i) * 2654435761u >> 24);
      // A successful write returns the free space before it, at least n: never 0.
      while (rb.Write(block, static_cast<int32_t>(n)) == 0) {
        if (stop.load()) return;
        std::this_thread::yield();
      }
      next += n;
    }
  });
  uint32_t got = 0;
  bool ok = true;
  uint8_t buf[777];
  // Lost bytes would leave the reader waiting for good: give up after a generous minute.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (got < kTotal && std::chrono::steady_clock::now() < deadline) {
    const int32_t n = rb.Read(buf, sizeof buf);
    for (int32_t i = 0; i < n; ++i)
      if (buf[i] != static_cast<uint8_t>((got + i) * 2654435761u >> 24)) ok = false;
    got += static_cast<uint32_t>(n);
    if (n == 0) std::this_thread::yield();
  }
  stop.store(true);
  writer.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(got, kTotal);
  EXPECT_EQ(rb.Used(), 0);
}

TEST(CriticalSection, ReentrantAndExclusive) {
  TZNT1CriticalSection cs;
  cs.Enter();
  cs.Enter();  // the owner may enter again
  EXPECT_EQ(cs.Level(), 2);
  cs.Leave();
  EXPECT_FALSE(cs.Entered());  // cleared on every leave, even when still nested
  cs.Leave();

  int64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        cs.Enter();
        cs.Enter();
        ++counter;
        cs.Leave();
        cs.Leave();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}
