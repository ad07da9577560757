// What this machine's memory gives one thread, to compare a walk's step
// with: the latency of a read that misses every cache (a chase of pointers
// through a buffer far larger than the caches, in a random cycle), how many
// such reads one thread keeps in flight (K chases at once, K = 1 to 64: the
// time per read falls until the core's miss buffers are full), and the
// bandwidth of a sequential read.
//
//   vantrel_memory_probe [MIB]      (default 1024; the buffer is on huge pages where the kernel gives them)
//
// Prints one JSON line: latency_ns, ns_per_read by K, best_ns_per_read, sequential_gb_s.
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One 64-byte line per slot, the first word naming the next slot of a
// random cycle through all of them.
struct alignas(64) Line {
  std::uint64_t next;
  std::uint64_t pad[7];
};

Line* map_lines(std::size_t count) {
  const std::size_t bytes = count * sizeof(Line);
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    std::perror("mmap");
    std::exit(1);
  }
  madvise(memory, bytes, MADV_HUGEPAGE);
  return static_cast<Line*>(memory);
}

// Links the lines into one random cycle.
void link_cycle(Line* lines, std::size_t count) {
  std::vector<std::uint64_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::mt19937_64 generator(12345);
  std::shuffle(order.begin() + 1, order.end(), generator);
  for (std::size_t i = 0; i < count; ++i) lines[order[i]].next = order[(i + 1) % count];
}

// Nanoseconds per read with `chases` chases going at once, each from its
// own place on the cycle.
template <int kChases>
double chase(const Line* lines, std::size_t count, std::size_t reads) {
  std::uint64_t at[kChases];
  for (int c = 0; c < kChases; ++c) at[c] = (count / kChases) * c;
  // Spread them out along the cycle, so that no two follow each other.
  for (int c = 0; c < kChases; ++c) {
    for (std::size_t s = 0; s < static_cast<std::size_t>(c) * 997; ++s) at[c] = lines[at[c]].next;
  }
  const std::size_t rounds = reads / kChases;
  const auto start = Clock::now();
  for (std::size_t r = 0; r < rounds; ++r) {
    for (int c = 0; c < kChases; ++c) at[c] = lines[at[c]].next;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::uint64_t sink = 0;
  for (int c = 0; c < kChases; ++c) sink += at[c];
  if (sink == 1) std::puts("");  // keeps the chases from being optimised away
  return seconds * 1e9 / static_cast<double>(rounds * kChases);
}

double sequential_gb_s(const Line* lines, std::size_t count) {
  double best = 0;
  for (int pass = 0; pass < 3; ++pass) {
    const auto start = Clock::now();
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += lines[i].next + lines[i].pad[3];
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (sum == 1) std::puts("");
    best = std::max(best, static_cast<double>(count * sizeof(Line)) / seconds / 1e9);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::size_t count = mib * 1024 * 1024 / sizeof(Line);
  Line* lines = map_lines(count);
  link_cycle(lines, count);
  constexpr std::size_t kReads = 20'000'000;
  const double by_k[] = {
      chase<1>(lines, count, kReads / 4), chase<2>(lines, count, kReads),  chase<4>(lines, count, kReads),
      chase<8>(lines, count, kReads),     chase<12>(lines, count, kReads), chase<16>(lines, count, kReads),
      chase<24>(lines, count, kReads),    chase<32>(lines, count, kReads), chase<64>(lines, count, kReads)};
  const int ks[] = {1, 2, 4, 8, 12, 16, 24, 32, 64};
  double best = by_k[0];
  std::printf("{\"buffer_mib\": %zu, \"latency_ns\": %.1f, \"ns_per_read\": {", mib, by_k[0]);
  for (int i = 0; i < 9; ++i) {
    std::printf("%s\"%d\": %.1f", i ? ", " : "", ks[i], by_k[i]);
    best = std::min(best, by_k[i]);
  }
  std::printf("}, \"best_ns_per_read\": %.1f, \"sequential_gb_s\": %.1f}\n", best, sequential_gb_s(lines, count));
  munmap(lines, count * sizeof(Line));
  return 0;
}
