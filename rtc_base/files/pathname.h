// A file path kept as three parts: the folder (empty, or ending in a delimiter), the base name
// and the extension (empty, or starting with '.'). "/a/b/c.txt" is folder "/a/b/", base name
// "c" and extension ".txt"; ".profile" is a base name without extension.
#ifndef RTC_BASE_FILES_PATHNAME_H_
#define RTC_BASE_FILES_PATHNAME_H_

#include <string>

namespace rtc {

class Pathname {
 public:
  // '/' and '\\'; the NUL character also ends a folder.
  static bool IsFolderDelimiter(char ch);
  static char DefaultFolderDelimiter() { return '/'; }

  Pathname() = default;
  explicit Pathname(const std::string& pathname);
  Pathname(const std::string& folder, const std::string& filename);

  // Every delimiter in the folder becomes the folder delimiter.
  void Normalize();
  void SetFolderDelimiter(char delimiter) { folder_delimiter_ = delimiter; }

  void clear();
  bool empty() const;

  // Folder, base name and extension; "./" when all three are empty.
  std::string pathname() const;
  // Splits at the last delimiter: the folder up to and including it, the file name after it.
  void SetPathname(const std::string& pathname);
  void SetPathname(const std::string& folder, const std::string& filename);
  // The text resolved against the folder; the old file name is dropped.
  void AppendPathname(const std::string& pathname);

  const std::string& folder() const { return folder_; }
  // The last component of the folder ("b/" of "/a/b/"), or the whole folder.
  std::string folder_name() const;
  // The folder without its last component ("/a/" of "/a/b/"), or empty.
  std::string parent_folder() const;
  // A delimiter is appended unless the text is empty or already ends in one.
  void SetFolder(const std::string& folder);
  void AppendFolder(const std::string& folder);

  const std::string& basename() const { return basename_; }
  // Refused (false, unchanged) when the text holds a delimiter.
  bool SetBasename(const std::string& basename);

  const std::string& extension() const { return extension_; }
  // Refused when the text holds a delimiter or a '.' after its first character; a '.' is put
  // in front when missing.
  bool SetExtension(const std::string& extension);

  std::string filename() const { return basename_ + extension_; }
  // Splits at the last '.' unless it is the first character.
  bool SetFilename(const std::string& filename);

 private:
  // The position of the last delimiter before `end` in the folder, or npos.
  size_t LastFolderDelimiterBefore(size_t end) const;

  std::string folder_;
  std::string basename_;
  std::string extension_;
  char folder_delimiter_ = DefaultFolderDelimiter();
};

}  // namespace rtc

#endif  // RTC_BASE_FILES_PATHNAME_H_
