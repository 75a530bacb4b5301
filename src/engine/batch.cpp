// Edits in batches; see batch.h. A batch does for each match what a cycle
// of the engine does (selection by number, the stretch in front of it
// passed over or written by the writer's rule for the net change at that
// point, the pieces of the edit, the counts), into an array of stretches
// that goes to the stream in one call. Only a match whose stretch in front
// of it is in memory is edited here, so the stream reads nothing the image
// may have let go.
#include "engine/batch.h"

#include "engine/matcher.h"
#include "engine/selection.h"
#include "fileio/image.h"
#include "fileio/writer.h"
#include "newtext/builder.h"

namespace qk {

namespace {

// Matches per batch: enough that a batch's fixed cost is nothing per
// match, few enough that the stretches of one stay in the cache.
constexpr int64_t kMatchesPerBatch = 2048;
// More pieces than this (many '&' in a long new text) cost more than the
// calls they save.
constexpr size_t kMostPieces = 8;

bool planned(Run& run) {
  BatchState& b = run.batch;
  if (b.planned) return b.on;
  b.planned = true;
  b.on = !b.one_match && run.texts.search_len > 0 && judged_by_number(run) &&
         plan_new_text_pieces(run) && b.pieces.size() <= kMostPieces;
  if (b.on) {
    b.found.resize(static_cast<size_t>(kMatchesPerBatch));
    b.stretches.resize(static_cast<size_t>(kMatchesPerBatch) * (1 + b.pieces.size()));
  }
  return b.on;
}

}  // namespace

void edit_in_batches(Run& run) {
  if (!planned(run)) return;
  BatchState& b = run.batch;
  WriterState& w = run.writer;
  MatchState& m = run.match;
  Counts& counts = run.counts;
  const FileImage& image = run.image;
  const int64_t n = run.texts.search_len;
  const bool selecting = run.settings.selection != 0;
  const bool full_writing = run.settings.full_writing != 0;
  using Stretch = OutputStream::Stretch;
  const int64_t written = b.written;
  const NewTextPiece* pieces = b.pieces.data();
  const NewTextPiece* pieces_end = pieces + b.pieces.size();
  // Most edits write one piece of new text, the same at every match.
  const bool one_piece = b.pieces.size() == 1 && !pieces->matched && pieces->size > 0;
  const NewTextPiece only = one_piece ? *pieces : NewTextPiece{};

  while (counts.scan_status == 0 && !w.over_limit) {
    int64_t from = w.cursor + m.start_offset;
    if (from < counts.search_floor) from = counts.search_floor;
    if (from >= image.size()) return;
    const int64_t window_end = need_from(run, from, image.size());
    if (window_end == from) return;  // the image could not be read
    const int64_t window_begin = image.source == platform::kNoFile ? 0 : image.ready_begin;
    int64_t resume = from;
    const int64_t found = find_matches(run, from, window_begin, window_end, b.found.data(),
                                       kMatchesPerBatch, &resume);
    if (found == 0 && resume == from) return;  // the next candidate lies across the edge
    if (w.out.position() + (window_end - w.cursor) + found * written > kMaxFileSize) {
      // Near the largest file, each write is measured on its own.
      b.on = false;
      return;
    }

    Stretch* out = b.stretches.data();
    int64_t at = w.cursor;
    const char* last = nullptr;
    int64_t number = counts.found;
    int64_t acted = 0;
    int64_t bytes = 0;
    int64_t net = w.net_change;
    bool passes = net == 0 && !full_writing;
    int64_t i = 0;
    for (; i < found; ++i) {
      const char* match = reinterpret_cast<const char*>(b.found[static_cast<size_t>(i)]);
      if (selecting && !acts_on_number(run, number + 1)) {
        ++number;
        last = match;
        continue;
      }
      // The stretch in front of this match may no longer be in memory:
      // the engine's cycle reads it in.
      if (at < window_begin) break;
      number += selecting;
      ++acted;
      const int64_t match_at = image.offset_of(match);
      const int64_t gap = match_at - at;
      if (gap > 0) *out++ = {image.at(at), gap, at, passes};
      if (one_piece) {
        *out++ = {only.data, only.size, OutputStream::kNewBytes, false};
      } else {
        for (const NewTextPiece* piece = pieces; piece != pieces_end; ++piece) {
          *out++ = piece->matched
                       ? Stretch{match, n, match_at, false}
                       : Stretch{piece->data, piece->size, OutputStream::kNewBytes, false};
        }
      }
      bytes += gap + written;
      net += written - n;
      passes = net == 0 && !full_writing;
      at = match_at + n;
      last = match;
    }
    if (i < found)
      resume = image.offset_of(reinterpret_cast<const char*>(b.found[static_cast<size_t>(i)]));

    counts.found = number;
    counts.acted += acted;
    counts.ampersand += acted * b.ampersands;
    if (acted > 0 && b.sets_memo) counts.no_insertion_memo = true;
    w.bytes_written += bytes;
    w.net_change = net;
    w.cursor = at;
    if (last) counts.search_floor = image.offset_of(last) + 1;
    m.start_offset = resume - at;
    if (out != b.stretches.data() &&
        !emit_stretches(run, b.stretches.data(), static_cast<size_t>(out - b.stretches.data())))
      counts.scan_status = -1;
    if (i < found) return;
  }
}

}  // namespace qk
