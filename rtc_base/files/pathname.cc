#include "rtc_base/files/pathname.h"

namespace rtc {

namespace {

// The delimiters a path text may use, NUL included: a NUL would cut the path short at the
// system call.
bool HoldsDelimiter(const std::string& text) {
  for (char ch : text) {
    if (Pathname::IsFolderDelimiter(ch)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool Pathname::IsFolderDelimiter(char ch) { return ch == '/' || ch == '\\' || ch == '\0'; }

Pathname::Pathname(const std::string& pathname) { SetPathname(pathname); }

Pathname::Pathname(const std::string& folder, const std::string& filename) {
  SetPathname(folder, filename);
}

void Pathname::Normalize() {
  for (char& ch : folder_) {
    if (IsFolderDelimiter(ch)) {
      ch = folder_delimiter_;
    }
  }
}

void Pathname::clear() {
  folder_.clear();
  basename_.clear();
  extension_.clear();
}

bool Pathname::empty() const { return folder_.empty() && basename_.empty() && extension_.empty(); }

std::string Pathname::pathname() const {
  if (empty()) {
    return std::string(".") + folder_delimiter_;
  }
  return folder_ + basename_ + extension_;
}

void Pathname::SetPathname(const std::string& pathname) {
  size_t pos = pathname.find_last_of("/\\");
  if (pos == std::string::npos) {
    SetFolder(std::string());
    SetFilename(pathname);
  } else {
    SetFolder(pathname.substr(0, pos + 1));
    SetFilename(pathname.substr(pos + 1));
  }
}

void Pathname::SetPathname(const std::string& folder, const std::string& filename) {
  SetFolder(folder);
  SetFilename(filename);
}

void Pathname::AppendPathname(const std::string& pathname) { SetPathname(folder_ + pathname); }

size_t Pathname::LastFolderDelimiterBefore(size_t end) const {
  for (size_t i = end; i > 0; --i) {
    if (IsFolderDelimiter(folder_[i - 1])) {
      return i - 1;
    }
  }
  return std::string::npos;
}

std::string Pathname::folder_name() const {
  if (folder_.size() >= 2) {
    size_t pos = LastFolderDelimiterBefore(folder_.size() - 1);
    if (pos != std::string::npos) {
      return folder_.substr(pos + 1);
    }
  }
  return folder_;
}

std::string Pathname::parent_folder() const {
  if (folder_.size() >= 2) {
    size_t pos = LastFolderDelimiterBefore(folder_.size() - 1);
    if (pos != std::string::npos) {
      return folder_.substr(0, pos + 1);
    }
  }
  return std::string();
}

void Pathname::SetFolder(const std::string& folder) {
  folder_ = folder;
  if (!folder_.empty() && !IsFolderDelimiter(folder_.back())) {
    folder_.push_back(folder_delimiter_);
  }
}

void Pathname::AppendFolder(const std::string& folder) { SetFolder(folder_ + folder); }

bool Pathname::SetBasename(const std::string& basename) {
  if (HoldsDelimiter(basename)) {
    return false;
  }
  basename_ = basename;
  return true;
}

bool Pathname::SetExtension(const std::string& extension) {
  if (HoldsDelimiter(extension) || extension.find('.', 1) != std::string::npos) {
    return false;
  }
  extension_ = extension;
  if (!extension_.empty() && extension_[0] != '.') {
    extension_.insert(extension_.begin(), '.');
  }
  return true;
}

bool Pathname::SetFilename(const std::string& filename) {
  size_t pos = filename.rfind('.');
  if (pos == std::string::npos || pos == 0) {
    return SetExtension(std::string()) && SetBasename(filename);
  }
  return SetExtension(filename.substr(pos)) && SetBasename(filename.substr(0, pos));
}

}  // namespace rtc
