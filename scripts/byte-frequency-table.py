#!/usr/bin/env python3
"""Writes src/engine/byte_frequency.cpp: how often each byte value occurs in
text, which the matcher uses to pick the two bytes of a search text that
its scan tests first (the rarer, the fewer false stops).

The table is measured on four kinds of text found on a Debian machine, each
kind weighing the same whatever its size, so that no one kind (English
prose, say) decides alone:

  source code  C headers under /usr/include, the Python library
  prose        licence texts, README files and change logs under /usr/share
  logs         the system's logs under /var/log
  data         JSON files, the time zone source, /etc/services and friends

Run it from the repository root: scripts/byte-frequency-table.py
"""

import glob
import os
import sys

# Text files are read as the benchmark reads them for its real-text file.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from run import read_text_file  # noqa: E402

# At most this much of each kind is read, in file-name order.
LIMIT = 64 << 20

KINDS = [
    ("source code", ["/usr/include/**/*.h", "/usr/lib/python3*/**/*.py"]),
    ("prose", ["/usr/share/common-licenses/*", "/usr/share/doc/*/README*",
               "/usr/share/doc/*/changelog*"]),
    ("logs", ["/var/log/*.log", "/var/log/*/*.log", "/var/log/*/*.log.1"]),
    ("data", ["/usr/lib/python3*/**/*.json", "/usr/share/**/*.json",
              "/usr/share/zoneinfo/tzdata.zi", "/usr/share/zoneinfo/*.tab",
              "/etc/services", "/etc/protocols", "/etc/mime.types",
              "/usr/share/i18n/SUPPORTED"]),
]


def counts_of(patterns):
    counts = [0] * 256
    total = 0
    files = sorted({p for pattern in patterns for p in glob.glob(pattern, recursive=True)
                    if os.path.isfile(p)})
    for path in files:
        data = read_text_file(path)[:LIMIT - total]
        for byte in range(256):
            counts[byte] += data.count(bytes([byte]))
        total += len(data)
        if total >= LIMIT:
            break
    return counts, total, len(files)


def main():
    per_kind = []
    notes = []
    for kind, patterns in KINDS:
        counts, total, files = counts_of(patterns)
        if total == 0:
            sys.exit(f"no text of the kind '{kind}' found")
        per_kind.append([c / total for c in counts])
        notes.append(f"{kind}: {total / (1 << 20):.1f} MiB from {files} files")
    # Occurrences per 100 million bytes, the mean of the kinds.
    table = [round(1e8 * sum(k[b] for k in per_kind) / len(per_kind)) for b in range(256)]
    rows = []
    for start in range(0, 256, 8):
        rows.append("    " + ", ".join(f"{v:>8}" for v in table[start:start + 8]) + ",  // "
                    + f"0x{start:02X}")
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "engine",
                       "byte_frequency.cpp")
    with open(out, "w") as f:
        f.write(f"""\
// How often each byte value occurs in text, in occurrences per 100 million
// bytes: the mean over four kinds of text, each weighing the same. Written
// by scripts/byte-frequency-table.py from the files of a Debian machine:
""")
        for note in notes:
            f.write(f"//   {note}\n")
        f.write("""\
// Run the script again to rebuild it; only the order of the values matters.
#include "engine/byte_frequency.h"

namespace qk {

namespace {

// clang-format off
const uint32_t kPer100M[256] = {
""")
        f.write("\n".join(rows) + "\n")
        f.write("""\
};
// clang-format on

}  // namespace

uint32_t byte_frequency(uint8_t byte, bool ignore_case) {
  if (!ignore_case) return kPer100M[byte];
  const uint8_t lower = byte | 0x20;
  if (lower < 'a' || lower > 'z') return kPer100M[byte];
  // Either case of the letter stops the scan.
  return kPer100M[lower] + kPer100M[lower - 0x20];
}

}  // namespace qk
""")
    print("\n".join(notes))


if __name__ == "__main__":
    main()
