// Replays what is kept of a fuzz target, its seeds (fuzz/corpus/<target>/) and the inputs that
// once crashed it (fuzz/regressions/<target>/), and mutations of every file, so that the gcc
// builds of CI run every target briefly.
#ifndef FUZZ_CORPUS_REPLAY_H_
#define FUZZ_CORPUS_REPLAY_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace fuzz_replay {

using Target = int (*)(const uint8_t* data, size_t size);

struct CorpusFile {
  std::string name;
  std::string bytes;
};

// The files of `kind` ("corpus" or "regressions") of a target, in name order; `root` is the
// fuzz/ folder of the sources.
inline std::vector<CorpusFile> ReadCorpus(const std::string& root, const std::string& target,
                                          const std::string& kind = "corpus") {
  std::vector<std::filesystem::path> paths;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(root + "/" + kind + "/" + target, ec)) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<CorpusFile> files;
  for (const auto& path : paths) {
    std::ifstream in(path, std::ios::binary);
    files.push_back({path.filename().string(), std::string(std::istreambuf_iterator<char>(in),
                                                           std::istreambuf_iterator<char>())});
  }
  return files;
}

// A few random edits: overwritten bytes, cut or repeated ranges, and a splice of another file.
inline std::string Mutate(const std::string& input, const std::vector<CorpusFile>& corpus,
                          std::mt19937& rng) {
  std::string out = input;
  int edits = 1 + static_cast<int>(rng() % 4);
  for (int e = 0; e < edits; ++e) {
    size_t pos = out.empty() ? 0 : rng() % out.size();
    switch (rng() % 5) {
      case 0:
        if (!out.empty()) out[pos] = static_cast<char>(rng());
        break;
      case 1:
        out.erase(pos, 1 + rng() % 16);
        break;
      case 2:
        out.insert(pos, std::string(1 + rng() % 8, static_cast<char>(rng())));
        break;
      case 3:
        if (!out.empty()) out.insert(pos, out.substr(pos, 1 + rng() % 32));
        break;
      default: {
        const std::string& other = corpus[rng() % corpus.size()].bytes;
        if (!other.empty()) out.insert(pos, other.substr(rng() % other.size(), 1 + rng() % 64));
        break;
      }
    }
  }
  return out;
}

// Runs `target` over every kept file and `mutations` mutations of each. Returns the number
// of files (0 when nothing is kept).
inline size_t Replay(const std::string& root, const std::string& name, Target target,
                     int mutations) {
  std::vector<CorpusFile> corpus = ReadCorpus(root, name);
  std::vector<CorpusFile> regressions = ReadCorpus(root, name, "regressions");
  corpus.insert(corpus.end(), regressions.begin(), regressions.end());
  std::mt19937 rng(20261206);
  for (const CorpusFile& file : corpus) {
    const std::string& input = file.bytes;
    target(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    for (int m = 0; m < mutations; ++m) {
      std::string mutated = Mutate(input, corpus, rng);
      target(reinterpret_cast<const uint8_t*>(mutated.data()), mutated.size());
    }
  }
  return corpus.size();
}

}  // namespace fuzz_replay

#endif  // FUZZ_CORPUS_REPLAY_H_
