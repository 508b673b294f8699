// Copying a file through the file system layer, against the standard library's copy (the
// kernel copies there) and against a copy in 256-byte stdio blocks.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "benchmark/benchmark.h"
#include "rtc_base/files/unix_file_system.h"

namespace {

constexpr size_t kFileSize = 16 << 20;

// A source file of kFileSize bytes in a private folder, removed afterwards.
class CopyFixture {
 public:
  CopyFixture() {
    char dir[] = "/tmp/vortm_copy_bench_XXXXXX";
    if (mkdtemp(dir) != nullptr) {
      dir_ = dir;
    }
    std::ofstream(source(), std::ios::binary) << std::string(kFileSize, 'x');
  }
  ~CopyFixture() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string source() const { return dir_ + "/source"; }
  std::string dest() const { return dir_ + "/dest"; }

 private:
  std::string dir_;
};

void BM_UnixFilesystemCopyFile(benchmark::State& state) {
  CopyFixture files;
  rtc::UnixFilesystem fs;
  for (auto _ : state) {
    if (!fs.CopyFile(rtc::Pathname(files.source()), rtc::Pathname(files.dest()))) {
      state.SkipWithError("copy failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}
BENCHMARK(BM_UnixFilesystemCopyFile)->Unit(benchmark::kMillisecond);

void BM_StdFilesystemCopyFile(benchmark::State& state) {
  CopyFixture files;
  for (auto _ : state) {
    std::filesystem::copy_file(files.source(), files.dest(),
                               std::filesystem::copy_options::overwrite_existing);
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}
BENCHMARK(BM_StdFilesystemCopyFile)->Unit(benchmark::kMillisecond);

void BM_Stdio256ByteBlocks(benchmark::State& state) {
  CopyFixture files;
  for (auto _ : state) {
    FILE* in = fopen(files.source().c_str(), "rb");
    FILE* out = fopen(files.dest().c_str(), "wb");
    char block[256];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), in)) > 0) {
      fwrite(block, 1, n, out);
    }
    fclose(in);
    fclose(out);
  }
  state.SetBytesProcessed(state.iterations() * kFileSize);
}
BENCHMARK(BM_Stdio256ByteBlocks)->Unit(benchmark::kMillisecond);

}  // namespace
