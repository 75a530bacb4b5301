// The restore journal of an in-place run: the one owner of what must be
// kept to put the target back. Before the stream overwrites a range of the
// target, the bytes there that are about to change go into the journal as
// one record, compactly (a run that keeps the file's length keeps only
// what its edits change, a few bytes per match); before a cut, what the
// cut takes away. A record is complete before its write is made.
//
// The journal lives in a file beside the target (journal_format.h), so a
// run that dies, whatever the instant, leaves what the next run needs to
// put the file back (stream/recovery.h). Where no file can be made (a
// folder QK may not write, a full disk, a name too long) it lives in
// memory, which still serves every fault the run itself sees. Played
// back newest first, it puts the original bytes and length back. The file
// image reads from it the originals of bytes that a growing edit
// overwrote before the scan got to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "stream/checksum.h"
#include "stream/journal_format.h"
#include "stream/journal_store.h"

namespace qk {

class RestoreJournal {
 public:
  RestoreJournal() = default;
  RestoreJournal(const RestoreJournal&) = delete;
  RestoreJournal& operator=(const RestoreJournal&) = delete;
  // A journal that was not finished stays on disk, as a dead run's would.
  ~RestoreJournal();

  // Locks `target_name` against other runs until finish(); false when
  // another run holds it.
  bool lock(const char* target_name);

  // Starts keeping the originals of `target_name`, a file `original_size`
  // bytes long. No journal file is made before the first write that
  // changes the file.
  void start(const char* target_name, int64_t original_size);
  bool active() const { return active_; }
  int64_t original_size() const { return original_size_; }

  // The next write is the run's last change to the file, and no cut
  // follows: if it is the only one and lies within one page (a write the
  // system makes whole or not at all), it needs no journal file.
  void expect_last_write() { last_write_ = true; }

  // Keeps the bytes that `data` is about to change at [offset, offset +
  // size). What the file holds there is `originals`, or, when that is
  // nullptr, read from `file`. Only the stretches listed in `changing`
  // (begin and end pairs, from `data`) may differ from it; nullptr: any.
  // False when the originals could not be kept; the write must then not
  // happen.
  bool keep(platform::FileHandle file, const char* data, int64_t size, int64_t offset,
            const char* originals = nullptr, const std::vector<int64_t>* changing = nullptr);

  // One of several writes that go out together: `size` bytes of `data`
  // for [offset, offset + size), with `originals` as for keep(), and
  // `skip`, where `data` starts in the bytes that `changing` speaks of.
  struct Part {
    const char* data;
    int64_t size;
    int64_t offset;
    const char* originals;
    int64_t skip;
  };
  // keep() for writes in rising order that lie close together: one record
  // for all of them when they fit in one (a system call, not one a write),
  // else one record each.
  bool keep_together(platform::FileHandle file, const Part* parts, size_t count,
                     const std::vector<int64_t>* changing);
  // How far apart the first and the last byte of writes kept together
  // may be.
  static constexpr int64_t kTogetherSpan = journal::kPiece;

  // Keeps what `file` holds from `offset` to its original end, before a
  // cut takes it away. `overwritten`: the file is written again after the
  // cut, so a recovery cannot check those bytes.
  bool keep_rest(platform::FileHandle file, int64_t offset, bool overwritten = false);

  // For an output file that is the target itself: keeps the whole file
  // unless `appending` (the original bytes then stay where they are), and
  // lets it take any length; the writes that follow need no keeping.
  bool keep_all_before_rewrite(platform::FileHandle file, bool appending);

  // Writes every kept byte back, newest first, and sets the original
  // length.
  bool play_back(platform::FileHandle file);

  // Writes over `bytes`, the file's bytes at [offset, offset + size), the
  // originals the journal holds for them: what the file held there before
  // this run wrote it. False when the journal could not be read.
  bool put_originals(char* bytes, int64_t offset, int64_t size);
  // No bytes before `offset` will be asked for again.
  void forget_before(int64_t offset);

  // Ends the journal and lets go of the lock. Its file is removed, unless
  // `keep_file` (the original could not be put back).
  void finish(bool keep_file);

  // A journal of the target that this run did not make appeared: nothing
  // may be written.
  bool refused() const { return refused_; }
  // Keeping originals failed for want of memory (a journal in memory, or
  // its buffers).
  bool short_of_memory() const { return short_of_memory_ || store_.short_of_memory(); }
  bool on_disk() const { return store_.on_file(); }
  const std::string& name() const { return name_; }
  // Bytes the journal holds (or held when it finished: it only grows), for
  // tests and the benchmarks.
  int64_t size() const { return opened_ ? store_.size() : finished_size_; }

 private:
  static constexpr int64_t kPiece = journal::kPiece;
  static constexpr int64_t kBodyRoom = journal::kBodyRoom;
  static constexpr int64_t kRecordRoom =
      static_cast<int64_t>(sizeof(journal::RecordHead)) + kBodyRoom + journal::kTrailer;
  // A file that grows past its original end is recorded as growing by at
  // least this much, so a growing edit makes few such records.
  static constexpr int64_t kGrowthStep = 16 << 20;

  struct Extent {
    int64_t from;
    int64_t to;
    int64_t at;  // where its record begins in the store
  };

  bool have_buffers();
  char* body() { return record_ + sizeof(journal::RecordHead); }
  // Entries for the bytes of `now` that differ from `old` within the
  // stretches, appended to the body; the new bytes' checksum in `written`.
  int64_t encode_changes(const char* old, const char* now, int64_t size,
                         const std::vector<int64_t>* changing, int64_t skip, uint64_t* written);
  // The same for one of several writes that make one record, `base` bytes
  // after the record's start: appends to what `encoding` holds.
  struct Encoding {
    int64_t used = 0;
    int64_t previous_end = 0;  // from the record's start
    Checksum new_bytes{0};
  };
  void encode_more(Encoding* encoding, const char* old, const char* now, int64_t size,
                   const std::vector<int64_t>* changing, int64_t skip, int64_t base);
  bool open_store(platform::FileHandle file, bool in_memory);
  bool append_record(platform::FileHandle file, journal::RecordHead head, bool in_memory);
  bool read_record(int64_t at, journal::RecordHead* head);

  bool active_ = false;
  bool kept_all_ = false;  // nothing more needs keeping
  bool last_write_ = false;
  bool refused_ = false;
  bool opened_ = false;  // the store has its head
  bool short_of_memory_ = false;
  int64_t original_size_ = 0;
  int64_t finished_size_ = 0;
  int64_t grown_to_ = 0;  // the file may be this long without a new record
  uint64_t seed_ = 0;
  std::string name_;
  platform::FileHandle lock_ = platform::kNoFile;
  JournalStore store_;
  std::vector<Extent> extents_;  // records the image may still ask for
  int64_t floor_ = 0;
  char* record_ = nullptr;   // one record being built or read, kRecordRoom
  char* current_ = nullptr;  // what the file holds, kPiece
};

}  // namespace qk
