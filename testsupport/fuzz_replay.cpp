// Runs a libFuzzer target as a regression test: every stored seed (each
// input that ever found a fault stays in the folder), then a fixed series of
// inputs derived from the seeds and from a seeded generator, so the same run
// is repeated on every machine.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

uint64_t g_state = 0x9E3779B97F4A7C15ull;
uint64_t next_rand() {
  g_state ^= g_state << 13;
  g_state ^= g_state >> 7;
  g_state ^= g_state << 17;
  return g_state;
}

void run(const std::vector<uint8_t> &in) {
  // An exact-size heap copy, so a read past the input is caught.
  uint8_t *copy = static_cast<uint8_t *>(std::malloc(in.empty() ? 1 : in.size()));
  std::copy(in.begin(), in.end(), copy);
  LLVMFuzzerTestOneInput(copy, in.size());
  std::free(copy);
}

std::vector<uint8_t> mutate(std::vector<uint8_t> v) {
  switch (next_rand() % 4) {
    case 0:  // cut short
      if (!v.empty()) v.resize(next_rand() % v.size());
      break;
    case 1:  // flip some bits
      for (int i = 0, n = 1 + int(next_rand() % 8); i < n && !v.empty(); i++)
        v[next_rand() % v.size()] ^= uint8_t(1u << (next_rand() % 8));
      break;
    case 2:  // extreme values, as hostile lengths are
      for (int i = 0, n = 1 + int(next_rand() % 4); i < n && !v.empty(); i++)
        v[next_rand() % v.size()] = (next_rand() & 1) ? 0xFF : 0x00;
      break;
    default:  // insert random octets
      for (int i = 0, n = 1 + int(next_rand() % 16); i < n; i++)
        v.insert(v.begin() + long(v.empty() ? 0 : next_rand() % (v.size() + 1)), uint8_t(next_rand()));
  }
  return v;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s SEED-FOLDER [GENERATED-COUNT]\n", argv[0]);
    return 2;
  }
  setenv("VELMORA_REPLAY", "1", 1);
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::string dir = argv[1];
  long generated = argc > 2 ? std::atol(argv[2]) : 2000;

  DIR *d = opendir(dir.c_str());
  if (!d) {
    std::fprintf(stderr, "no seed folder %s: every fuzz target keeps its seeds there\n", dir.c_str());
    return 1;
  }
  std::vector<std::string> names;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());

  std::vector<std::vector<uint8_t>> seeds;
  for (const auto &n : names) {
    std::ifstream f(dir + "/" + n, std::ios::binary);
    seeds.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    run(seeds.back());
  }
  if (seeds.empty()) {
    std::fprintf(stderr, "seed folder %s is empty\n", dir.c_str());
    return 1;
  }
  for (long i = 0; i < generated; i++) {
    if (i % 2 == 0) {
      run(mutate(seeds[size_t(next_rand() % seeds.size())]));
    } else {
      std::vector<uint8_t> v(next_rand() % 600);
      for (auto &b : v) b = uint8_t(next_rand());
      run(v);
    }
  }
  std::printf("%zu seeds and %ld generated inputs replayed\n", seeds.size(), generated);
  return 0;
}
