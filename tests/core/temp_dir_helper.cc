#include "core/temp_dir.h"

#include <stdlib.h>

#include <filesystem>

namespace vy_test {

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "vortm_XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace vy_test
