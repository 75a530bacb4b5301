// Differential tests of the ways a run can come to its result. Edits in
// batches against the same edits one match at a time: on dense files with
// random switch sets both give the same file, report and errorlevel, and
// make the same writes. And the three ways a run writes its result: in place
// with intelligent writing (only what changed), in place with -~ (the whole
// file), and to an output file with -$. On randomized CR LF / LF files and
// random switch sets all three must produce the same bytes, the same report
// (apart from the output file's name) and the same errorlevel. A fixed seed
// keeps every failure reproducible; the trace names the command line.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "e2e/harness.h"

namespace qk::test {
namespace {

class Generator {
 public:
  explicit Generator(uint32_t seed) : random_(seed) {}

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  bool chance(int percent) { return below(100) < percent; }
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[static_cast<size_t>(below(static_cast<int>(from.size())))];
  }

  std::string text(const std::string& alphabet, int max_length) {
    std::string s;
    for (int i = below(max_length + 1); i > 0; --i)
      s += alphabet[static_cast<size_t>(below(static_cast<int>(alphabet.size())))];
    return s;
  }

  // Lines of a few letters, mostly CR LF, some LF or a lone CR, the last
  // one sometimes without a line end; matches are frequent.
  std::string file() {
    std::string s;
    const bool unix_style = chance(25);
    for (int line = below(12) + 1; line > 0; --line) {
      s += text(chance(10) ? std::string("ab\0\xe9\xff\r\n", 7) : "abAB x&#!", 10);
      if (line == 1 && chance(30)) break;
      if (chance(5)) {
        s += "\r";
      } else {
        s += unix_style ? "\n" : "\r\n";
      }
    }
    return s.empty() ? "ab" : s;
  }

  std::string search() {
    // Texts of anchors and wildcards only: empty and one-byte matches on
    // every kind of line end.
    if (chance(15)) return pick<std::string>({"#", "!", "#!", "@", "#@!", "@@", "#@", "@!"});
    std::string s = text("abAB x@", 3);
    if (s.empty()) s = "a";
    if (chance(15)) s = "#" + s;
    if (chance(15)) s += "!";
    return s;
  }

  std::vector<std::string> switches() {
    std::vector<std::string> all;
    if (chance(30)) all.push_back("-C");
    if (chance(30)) all.push_back(pick<std::string>({"-D", "-D:P", "-D:L", "-D:R"}));
    if (chance(25)) all.push_back(pick<std::string>({"-A", "-I"}));
    if (chance(15)) all.push_back("-O");
    if (chance(15)) all.push_back(pick<std::string>({"-N", "-N:46"}));
    if (chance(20)) all.push_back(pick<std::string>({"-U", "-M"}));
    if (chance(15)) all.push_back("-X");
    if (chance(25))
      all.push_back(pick<std::string>({"-#:O", "-#:E", "-#:L", "-#:I", "-#:J", "-#:2", "-#:1,3"}));
    if (chance(15)) all.push_back(pick<std::string>({"-&", "-&:U", "-&:L"}));
    if (chance(25)) all.push_back(pick<std::string>({"-T", "-B", "-T:C", "-B:C"}));
    if (chance(10)) all.push_back(pick<std::string>({"-K:1x", "-K:6b,RM", "-K:9X,1x,RM", "-K:Hy"}));
    if (chance(10)) all.push_back(pick<std::string>({"-W", "-W:46", "-'"}));
    if (chance(10)) all.push_back(pick<std::string>({"-1", "-1:x", "-3", "-4", "-2"}));
    if (chance(10)) all.push_back("-%");
    if (chance(40)) all.push_back("-V:3");
    for (size_t i = all.size(); i > 1; --i)
      std::swap(all[i - 1], all[static_cast<size_t>(below(static_cast<int>(i)))]);
    return all;
  }

 private:
  std::mt19937 random_;
};

struct Outcome {
  RunResult result;
  std::string target;
  std::string output;
};

Outcome run_on(const std::string& content, const std::vector<std::string>& args,
               const CaseSetup& setup = {}) {
  TempDir dir;
  write_file(dir.file("f"), content);
  for (const auto& [name, text] : setup.files)
    write_file(dir.file(name), text);
  RunOptions options;
  options.cwd = dir.path();
  options.env = setup.env;
  options.limits = setup.limits;
  Outcome o;
  o.result = run_qk(args, options);
  o.target = read_file(dir.file("f"));
  o.output = read_file(dir.file("out"));
  return o;
}

std::string without_output_name(std::string report) {
  const std::string line = "Output filename       : out\n";
  const size_t at = report.find(line);
  if (at != std::string::npos) report.erase(at, line.size());
  return report;
}

// The "Bytes written" of a -V:3 report, or -1 when the run printed none.
int64_t bytes_written(const std::string& report) {
  const std::string label = "Bytes written     : ";
  const size_t at = report.find(label);
  return at == std::string::npos ? -1 : std::stoll(report.substr(at + label.size()));
}

bool has(const std::vector<std::string>& args, const std::string& arg) {
  for (const std::string& a : args)
    if (a == arg) return true;
  return false;
}

TEST(Differential, ThreeWaysOfWritingAgree) {
  Generator gen(0x51c0ffee);
  int edited = 0;
  for (int i = 0; i < 240; ++i) {
    const std::string content = gen.file();
    std::vector<std::string> args = {"f", gen.search(), gen.text("xyXY&b", 5)};
    for (const std::string& s : gen.switches())
      args.push_back(s);

    std::string trace = "case " + std::to_string(i) + ":";
    for (const std::string& a : args)
      trace += " [" + a + "]";
    SCOPED_TRACE(trace);

    const Outcome smart = run_on(content, args);
    std::vector<std::string> full_args = args;
    full_args.push_back("-~");
    const Outcome full = run_on(content, full_args);
    std::vector<std::string> copy_args = args;
    copy_args.insert(copy_args.end(), {"-$", "out"});
    const Outcome copy = run_on(content, copy_args);

    // -M that edits nothing writes no line: the output file is empty while
    // an in-place target keeps all of its lines, and each report says so.
    const bool m_without_edits =
        has(args, "-M") && smart.result.out.find("No matches found") != std::string::npos;
    EXPECT_EQ(full.result.exit_code, smart.result.exit_code);
    EXPECT_EQ(copy.result.exit_code, smart.result.exit_code);
    EXPECT_EQ(full.result.out, smart.result.out);
    if (!m_without_edits) {
      EXPECT_EQ(without_output_name(copy.result.out), smart.result.out);
    }
    EXPECT_EQ(full.target, smart.target);
    EXPECT_EQ(copy.target, content);
    // The report and the file agree, however the file was written.
    if (smart.result.exit_code == 0 && bytes_written(smart.result.out) >= 0) {
      EXPECT_EQ(bytes_written(smart.result.out), static_cast<int64_t>(smart.target.size()));
      EXPECT_EQ(bytes_written(full.result.out), static_cast<int64_t>(full.target.size()));
      EXPECT_EQ(bytes_written(copy.result.out), static_cast<int64_t>(copy.output.size()));
    }
    if (smart.result.exit_code != 0) {
      EXPECT_EQ(smart.target, content);  // a refused command line
    } else if (!m_without_edits) {
      EXPECT_EQ(copy.output, smart.target);
    }
    edited += smart.target != content;
  }
  RecordProperty("edited", edited);
  EXPECT_GT(edited, 100);  // the generator must mostly produce real edits
}

// The file image is read in chunks (4 KiB here, set by QK_TEST_CHUNK_SIZE).
// Files a few chunks long, with matches, lines, look-ahead and -X lines
// across chunk edges, must give exactly what one chunk holding the whole
// file gives, in all three ways of writing.
constexpr int kChunk = 4096;

std::string edge_file(Generator& gen) {
  // Sizes around the chunk size and its multiples, lines of every length
  // (some longer than a chunk), and the search words placed across edges;
  // a few files wider than the window of chunks the image keeps, which
  // then moves along the file.
  const int sizes[] = {1000,       kChunk - 1,     kChunk,         kChunk + 1,
                       2 * kChunk, 3 * kChunk + 7, 5 * kChunk - 3, 37 * kChunk + 5};
  const int size = sizes[gen.below(8)];
  std::string s;
  while (static_cast<int>(s.size()) < size) {
    const int length = gen.chance(10) ? gen.below(3 * kChunk) : gen.below(60);
    s += gen.text("abcAB x", length);
    s += gen.chance(90) ? "\r\n" : "\n";
  }
  s.resize(static_cast<size_t>(size));
  for (int edge = kChunk; edge < size; edge += kChunk) {
    const int at = edge - gen.below(6);
    const std::string word = gen.pick<std::string>({"cab", "\r\n", "ab\r\nca", "x\r\n"});
    if (at + static_cast<int>(word.size()) <= size)
      s.replace(static_cast<size_t>(at), word.size(), word);
  }
  return s;
}

TEST(Differential, ChunkEdgesChangeNothing) {
  Generator gen(0xed9e5);
  const CaseSetup small_chunks = {{}, {{"QK_TEST_CHUNK_SIZE", std::to_string(kChunk)}}, {}};
  int edited = 0;
  for (int i = 0; i < 90; ++i) {
    const std::string content = edge_file(gen);
    std::vector<std::string> args = {
        "f", gen.pick<std::string>({"cab", "ab", "#ca", "b!", "c@b", "x", "a"}),
        gen.pick<std::string>({"", "Q", "QQQQQ", "&&", "yz"})};
    for (const std::string& s : gen.switches())
      args.push_back(s);
    if (gen.chance(20)) args.push_back(gen.pick<std::string>({"-#:L", "-#:J"}));

    std::string trace =
        "case " + std::to_string(i) + " (" + std::to_string(content.size()) + " bytes):";
    for (const std::string& a : args)
      trace += " [" + a + "]";
    SCOPED_TRACE(trace);

    const Outcome whole = run_on(content, args);
    const Outcome smart = run_on(content, args, small_chunks);
    std::vector<std::string> full_args = args;
    full_args.push_back("-~");
    const Outcome full = run_on(content, full_args, small_chunks);
    std::vector<std::string> copy_args = args;
    copy_args.insert(copy_args.end(), {"-$", "out"});
    const Outcome copy = run_on(content, copy_args, small_chunks);

    EXPECT_EQ(smart.result.exit_code, whole.result.exit_code);
    EXPECT_EQ(smart.result.out, whole.result.out);
    EXPECT_TRUE(smart.target == whole.target) << "in place differs";
    EXPECT_EQ(full.result.exit_code, whole.result.exit_code);
    EXPECT_TRUE(full.target == whole.target) << "-~ differs";
    EXPECT_EQ(copy.result.exit_code, whole.result.exit_code);
    EXPECT_TRUE(copy.target == content);
    const bool m_without_edits =
        has(args, "-M") && whole.result.out.find("No matches found") != std::string::npos;
    if (whole.result.exit_code == 0 && !m_without_edits) {
      EXPECT_TRUE(copy.output == whole.target) << "-$ differs";
    }
    edited += whole.target != content;
  }
  EXPECT_GT(edited, 40);
}

TEST(Differential, SearchTextLongerThanAChunk) {
  // A search text from an -L file, longer than a chunk, that matches across
  // several chunk edges; and one that differs from the file only in its
  // last byte, so that it fails after comparing a chunk and more.
  Generator gen(0x10c6);
  std::string content;
  while (content.size() < 6 * kChunk)
    content += gen.text("abc xyz", 50) + "\r\n";
  const std::string found = content.substr(kChunk - 100, kChunk + 300);
  std::string near_miss = content.substr(2 * kChunk + 5, kChunk + 1000);
  near_miss.back() = '!';
  const CaseSetup small_chunks = {
      {{"long", found}, {"miss", near_miss}}, {{"QK_TEST_CHUNK_SIZE", std::to_string(kChunk)}}, {}};
  const CaseSetup one_chunk = {{{"long", found}, {"miss", near_miss}}, {}, {}};
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"f", "-L", "long", "NEW", "-C"},
        std::vector<std::string>{"f", "-L", "long", "NEW", "-C", "-D"},
        std::vector<std::string>{"f", "-L", "long", "<&>", "-C", "-#:L"},
        std::vector<std::string>{"f", "-L", "miss", "NEW", "-C"},
        std::vector<std::string>{"f", "-L", "long", "NEW", "-C", "-$", "out"}}) {
    SCOPED_TRACE(args[2] + " " + args.back());
    const Outcome whole = run_on(content, args, one_chunk);
    const Outcome small = run_on(content, args, small_chunks);
    EXPECT_EQ(small.result.exit_code, whole.result.exit_code);
    EXPECT_EQ(small.result.out, whole.result.out);
    EXPECT_TRUE(small.target == whole.target);
    EXPECT_TRUE(small.output == whole.output);
    if (args[2] == "long") {
      EXPECT_TRUE(small.target != content || small.output != "") << "the long text must match";
    }
  }
}

// A file where a match is every few bytes: short words of few letters,
// CR LF or LF lines, sometimes long enough for thousands of matches.
std::string dense_file(Generator& gen) {
  const int size = gen.pick<int>({200, 3000, 9000, 40000});
  std::string s;
  const bool unix_style = gen.chance(20);
  while (static_cast<int>(s.size()) < size) {
    s += gen.text(gen.chance(10) ? "ab x" : "abAB xab&", 12);
    s += unix_style ? "\n" : "\r\n";
  }
  return s;
}

TEST(Differential, BatchesDoWhatOneMatchAtATimeDoes) {
  Generator gen(0xba7c4);
  const bool see_writes = no_fault_shim() == nullptr;
  int edited = 0;
  for (int i = 0; i < 160; ++i) {
    const std::string content = dense_file(gen);
    std::vector<std::string> args = {
        "f",
        gen.chance(80) ? gen.pick<std::string>({"a", "b", "ab", "A", "x", "aba", "a@", "@b"})
                       : gen.search(),
        gen.chance(20) ? "" : gen.text("xyXY&b", 4)};
    for (const std::string& sw : gen.switches())
      args.push_back(sw);
    if (gen.chance(20)) args.push_back(gen.chance(50) ? "-~" : "-#:0");
    if (gen.chance(15)) args.insert(args.end(), {"-$", "out"});
    std::vector<std::pair<std::string, std::string>> env;
    if (gen.chance(40)) env.push_back({"QK_TEST_CHUNK_SIZE", std::to_string(kChunk)});

    std::string trace = "case " + std::to_string(i) + " (" + std::to_string(content.size()) +
                        " bytes" + (env.empty() ? "" : ", small chunks") + "):";
    for (const std::string& a : args)
      trace += " [" + a + "]";
    SCOPED_TRACE(trace);

    struct Seen {
      RunResult result;
      std::string target, output;
      std::vector<std::string> writes;
    };
    auto run = [&](bool one_match) {
      TempDir dir;
      write_file(dir.file("f"), content);
      auto with = env;
      if (one_match) with.push_back({"QK_TEST_ONE_MATCH", "1"});
      Seen seen;
      if (see_writes) {
        seen.writes = writes_of(args, dir.path(), with, &seen.result);
      } else {
        RunOptions options;
        options.cwd = dir.path();
        options.env = with;
        seen.result = run_qk(args, options);
      }
      seen.target = read_file(dir.file("f"));
      seen.output = read_file(dir.file("out"));
      return seen;
    };
    const Seen batched = run(false);
    const Seen one = run(true);
    EXPECT_EQ(batched.result.exit_code, one.result.exit_code);
    EXPECT_EQ(batched.result.out, one.result.out);
    EXPECT_TRUE(batched.target == one.target) << "the target differs";
    EXPECT_TRUE(batched.output == one.output) << "the output file differs";
    EXPECT_EQ(batched.writes, one.writes);
    edited += one.target != content || !one.output.empty();
  }
  EXPECT_GT(edited, 100);
}

TEST(Differential, OutputFileThatIsTheTarget) {
  // Opening the output empties it, so the image must have read all of the
  // target first, however small its chunks.
  std::string content;
  for (int i = 0; content.size() < 5 * kChunk; ++i)
    content += "line " + std::to_string(i) + " cab\r\n";
  const std::string edited = run_on(content, {"f", "cab", "taxi"}).target;
  const CaseSetup small_chunks = {{}, {{"QK_TEST_CHUNK_SIZE", std::to_string(kChunk)}}, {}};
  const Outcome replaced = run_on(content, {"f", "cab", "taxi", "-$", "f"}, small_chunks);
  EXPECT_EQ(replaced.result.exit_code, 0);
  EXPECT_TRUE(replaced.target == edited);
  const Outcome appended = run_on(content, {"f", "cab", "taxi", "-$:A", "f"}, small_chunks);
  EXPECT_EQ(appended.result.exit_code, 0);
  EXPECT_TRUE(appended.target == content + edited);
}

}  // namespace
}  // namespace qk::test
