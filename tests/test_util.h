// Shared helpers for QK's tests: temporary directories and whole-file reads
// and writes.
#pragma once

#include <cstdio>
#include <string>

namespace qk::test {

// A fresh directory under the system's temporary folder, removed with all
// its contents when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A memory stream to stand in for the console of a Run in unit tests.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  FILE* stream() const { return stream_; }
  std::string text();  // everything printed so far

 private:
  FILE* stream_ = nullptr;
  char* data_ = nullptr;
  size_t size_ = 0;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace qk::test
