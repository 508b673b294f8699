#ifndef TESTS_CORE_TEMP_DIR_H_
#define TESTS_CORE_TEMP_DIR_H_

#include <string>

namespace vy_test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vy_test

#endif  // TESTS_CORE_TEMP_DIR_H_
