// Temporary directories and file helpers for the tests.
#include "test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace qk::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/qk-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
  path_ = name.data();
  chmod(path_.c_str(), 0777);  // tests that drop privileges work in here too
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ConsoleCapture::ConsoleCapture() {
  stream_ = open_memstream(&data_, &size_);
}

ConsoleCapture::~ConsoleCapture() {
  if (stream_) std::fclose(stream_);
  std::free(data_);
}

std::string ConsoleCapture::text() {
  std::fflush(stream_);
  return std::string(data_, size_);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string("<missing>");
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace qk::test
