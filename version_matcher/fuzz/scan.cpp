// Fuzz target: the scan against a plain reference scan.
//
// The input describes a table (match sizes in order, each with sums, each
// with digests), a file, file_size and buffer_size.  The index is built and
// sealed as the conversion leaves it, and scan_for_matches reads the file
// through the fake descriptor; reference_scan below walks the same file
// position by position, summing and digesting every window afresh.  Any
// difference in the matches, the counters or the failure aborts.  How often
// the scan looks for signals is its own affair: a run whose handler raised
// is only checked for having ended there.
//
// Input, front to back: file_size mode (1 byte) and value (2), buffer_size
// mode (1) and value (2), most bytes per read (2; 0 for no limit), a trouble
// mode (1; 6 of 8 mean none) and value (2): a read error at that offset, or
// a signal handler that raises at a check for signals; the number of sizes
// (1), then per size: mode (1), value (2), number of sums (1), then per
// sum: mode (1), value (2), four bytes more for a raw sum, number of
// digests (1), then per digest: mode (1) and value (2).  The rest is the
// file.  Modes are described where they are read.
#include "scan.h"

#include "fail_record.h"
#include "fake_descriptor.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Digest = std::array<uint8_t, 16>;

struct KnownSum {
  uint32_t size;  // of the lookup_table entry it was listed under
  uint32_t sum;
  std::vector<std::pair<Digest, PyObject*>> digests;  // in the digest dict's order
};

// The table as the conversion reads it: sizes in list order, and every sum
// of every size in conversion order (sizes in list order, sums in each size
// dict's order).
struct Table {
  std::vector<uint64_t> sizes;
  std::vector<KnownSum> sums;
};

// What a scan gives: its failure, or its counters and matches.
struct Outcome {
  FailKind kind = FailKind::none;
  std::string message;
  int error_number = 0;
  uint32_t weak_count = 0;
  uint32_t strong_count = 0;
  uint64_t bytes_matched = 0;
  std::vector<std::pair<uint64_t, PyObject*>> matches;

  void fail(FailKind k, std::string m, int e = 0) {
    kind = k;
    message = std::move(m);
    error_number = e;
  }
};

uint32_t adler(const uint8_t* data, uint64_t n) {
  return static_cast<uint32_t>(adler32(adler32(0, nullptr, 0), data, static_cast<uInt>(n)));
}

Digest md5(const uint8_t* data, uint64_t n) {
  Digest digest;
  unsigned int length = 0;
  EVP_Digest(data, n, digest.data(), &length, EVP_md5(), nullptr);
  return digest;
}

// ---- The reference --------------------------------------------------------

// The file as the window's exact reads meet it: n bytes on from where the
// last read ended, or the failure the fake gives.
struct ReferenceFile {
  const std::vector<uint8_t>& content;
  uint64_t error_at;
  uint64_t offset = 0;

  bool read(uint64_t n, std::vector<uint8_t>& out, Outcome& outcome) {
    const uint64_t end = offset + n;
    if (error_at < end && error_at <= content.size()) {
      outcome.fail(FailKind::io, "", EIO);
      return false;
    }
    if (content.size() < end) {
      char message[128];
      std::snprintf(message, sizeof message, "Unexpected EOF: 0x32768; %d of %d",
                    static_cast<int>(content.size() - offset), static_cast<int>(n));
      outcome.fail(FailKind::runtime, message);
      return false;
    }
    out.insert(out.end(), content.begin() + offset, content.begin() + end);
    offset = end;
    return true;
  }
};

Outcome reference_scan(const Table& table, const std::vector<uint8_t>& content, uint64_t error_at, uint64_t file_size,
                       int buffer_size) {
  Outcome outcome;
  // Only the first-converted entry of a sum that has digests is ever found.
  std::map<uint32_t, const KnownSum*> index;
  for (const KnownSum& known : table.sums) {
    if (!known.digests.empty()) index.emplace(known.sum, &known);
  }
  const uint64_t most = static_cast<uint32_t>(buffer_size);
  // With more to read than the buffer holds, a last size longer than the
  // buffer could never fit and the scan could never move on.
  if (file_size > most && table.sizes.back() > most) {
    outcome.fail(FailKind::value, "Match size larger than buffer_size");
    return outcome;
  }
  if (file_size == 0) {
    outcome.fail(FailKind::value, "Zero size file");
    return outcome;
  }
  // The buffer holds exactly the valid bytes; pos is the window start in it.
  ReferenceFile file{content, error_at};
  std::vector<uint8_t> buffer;
  uint64_t length = std::min(file_size, most);
  if (!file.read(length, buffer, outcome)) return outcome;
  uint64_t bytes_read = length;
  uint64_t pos = 0;
  uint64_t offset = 0;  // file offset of the window start
  for (;;) {
    const uint64_t available = length - pos;
    bool fits = false;
    uint64_t matched = 0;
    for (uint64_t size : table.sizes) {
      // A size that does not fit is skipped; the last size tried decides
      // below whether the buffer is topped up.
      fits = available >= size;
      if (!fits) continue;
      const uint8_t* window = buffer.data() + pos;
      const auto found = index.find(adler(window, size));
      if (found == index.end()) continue;
      outcome.weak_count++;
      // A window can only be a block of its own size: another size's entry
      // is counted, never digested.
      if (found->second->size != size) continue;
      const Digest digest = md5(window, size);
      for (const auto& [known, value] : found->second->digests) {
        if (known != digest) continue;
        outcome.strong_count++;
        outcome.bytes_matched += size;
        outcome.matches.emplace_back(offset, value);
        matched = size;
        break;
      }
      if (matched > 0) break;
    }
    if (matched > 0) {
      pos += matched;
      offset += matched;
    } else if (fits) {
      pos += 1;
      offset += 1;
    } else {
      // The unread tail moves to the front and the rest is read; once the
      // whole file is in the buffer the scan ends here.
      if (bytes_read >= file_size) return outcome;
      buffer.erase(buffer.begin(), buffer.begin() + pos);
      pos = 0;
      uint64_t want = length - buffer.size();
      if (bytes_read + want >= file_size) {
        want = file_size - bytes_read;
        length = buffer.size() + want;
      }
      if (!file.read(want, buffer, outcome)) return outcome;
      bytes_read += want;
    }
  }
}

// ---- The table from the input ---------------------------------------------

PyObject* fake_value(uintptr_t n) { return reinterpret_cast<PyObject*>(n * 16); }

// The window of size bytes at offset, cut at the end of the content.
std::pair<const uint8_t*, uint64_t> window_at(const std::vector<uint8_t>& content, uint64_t offset, uint64_t size) {
  offset = std::min<uint64_t>(offset, content.size());
  return {content.data() + offset, std::min<uint64_t>(size, content.size() - offset)};
}

struct DigestSpec {
  uint8_t mode;
  uint16_t value;
};

struct SumSpec {
  uint8_t mode;
  uint16_t value;
  uint32_t raw;
  std::vector<DigestSpec> digests;
};

struct SizeSpec {
  uint8_t mode;
  uint16_t value;
  std::vector<SumSpec> sums;
};

std::vector<SizeSpec> read_table_spec(InputBytes& in) {
  std::vector<SizeSpec> sizes(1 + in.u8() % 10);
  for (SizeSpec& size : sizes) {
    size.mode = in.u8();
    size.value = in.u16();
    size.sums.resize(in.u8() % 5);
    for (SumSpec& sum : size.sums) {
      sum.mode = in.u8();
      sum.value = in.u16();
      sum.raw = sum.mode % 4 == 3 ? in.u32() : 0;
      sum.digests.resize(in.u8() % 4);
      for (DigestSpec& digest : sum.digests) {
        digest.mode = in.u8();
        digest.value = in.u16();
      }
    }
  }
  return sizes;
}

// With `consistent`, every digest of a window of the file is listed only
// under its window's own size and sum, as a table built from real blocks
// is: the scan may then confirm a window by its digest before its sum.
// Without, digests and sums are mixed freely.
Table build_table(const std::vector<SizeSpec>& specs, const std::vector<uint8_t>& content, bool consistent) {
  Table table;
  std::vector<Digest> digests_so_far;
  uintptr_t values = 0;
  const uint64_t places = content.size() + 1;
  for (const SizeSpec& wanted : specs) {
    // Small, anything up to 65536, near the content's length, or far past
    // any buffer; 0 and 2^32 - 1 never reach the scan.
    uint64_t size;
    switch (wanted.mode % 4) {
      case 0:
        size = 1 + wanted.value % 16;
        break;
      case 1:
        size = 1 + uint64_t{wanted.value};
        break;
      case 2:
        size = 1 + wanted.value % (places + 1);
        break;
      default:
        size = 0xFFFFFFFEu - wanted.value;
        break;
    }
    table.sizes.push_back(size);
    for (const SumSpec& sum_spec : wanted.sums) {
      // The sum of a window of the file, that sum with one bit changed, an
      // earlier sum of any size, or any value.
      const uint64_t place = sum_spec.value % places;
      const auto [window, window_size] = window_at(content, place, size);
      uint32_t sum = adler(window, window_size);
      switch (sum_spec.mode % 4) {
        case 1:
          sum ^= uint32_t{1} << (sum_spec.value % 32);
          break;
        case 2:
          if (!table.sums.empty()) sum = table.sums[sum_spec.value % table.sums.size()].sum;
          break;
        case 3:
          sum = sum_spec.raw;
          break;
      }
      if (sum == EMPTY_SLOT) sum = 0;  // refused by the conversion
      KnownSum known{static_cast<uint32_t>(size), sum, {}};
      for (const DigestSpec& digest_spec : sum_spec.digests) {
        // The digest of the sum's window, of the window at another place,
        // that of the sum's window with one bit changed, or an earlier one.
        Digest digest = md5(window, window_size);
        uint8_t digest_mode = digest_spec.mode % 4;
        if (consistent && (digest_mode == 1 || digest_mode == 3 || (digest_mode == 0 && sum_spec.mode % 4 != 0)))
          digest_mode = 2;
        switch (digest_mode) {
          case 1: {
            const auto [other, other_size] = window_at(content, digest_spec.value % places, size);
            digest = md5(other, other_size);
            break;
          }
          case 2:
            digest[digest_spec.value / 8 % 16] ^= 1 << (digest_spec.value % 8);
            break;
          case 3:
            if (!digests_so_far.empty()) digest = digests_so_far[digest_spec.value % digests_so_far.size()];
            break;
        }
        digests_so_far.push_back(digest);
        known.digests.emplace_back(digest, fake_value(++values));
      }
      table.sums.push_back(std::move(known));
    }
  }
  return table;
}

// The index and size list the conversion would leave in state.
void fill_state(MatchState* state, const Table& table) {
  MatchSizeEntry** tail = &state->sizes;
  for (uint64_t size : table.sizes) {
    *tail = new MatchSizeEntry{size, new RollingSum(), nullptr};
    tail = &(*tail)->next;
  }
  for (const KnownSum& known : table.sums) {
    StrongEntry** strong_tail = nullptr;
    WeakEntry* weak = new_weak_entry(&state->index, known.size);
    fuzz_check(weak != nullptr, "out of memory");
    weak->sum = known.sum;
    strong_tail = &weak->strong;
    for (const auto& [digest, value] : known.digests) {
      StrongEntry* strong = new_strong_entry(&state->index);
      fuzz_check(strong != nullptr, "out of memory");
      std::copy(digest.begin(), digest.end(), strong->digest);
      strong->value = value;
      *strong_tail = strong;
      strong_tail = &strong->next;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputBytes in{data, size};
  const CallSizes sizes = read_call_sizes(in);
  const uint16_t chunk = in.u16();
  const uint8_t trouble_mode = in.u8();
  const uint16_t trouble_value = in.u16();
  const std::vector<SizeSpec> specs = read_table_spec(in);

  fake_file = FakeFile{};
  fake_file.content = in.rest();
  const std::vector<uint8_t>& content = fake_file.content;
  uint64_t file_size;
  int buffer_size;
  if (!choose_call_sizes(sizes, content.size(), &file_size, &buffer_size)) return 0;
  fake_file.file_size = file_size;
  fake_file.chunk = chunk;
  fake_file.error_at = trouble_mode % 8 == 7 ? trouble_value : UINT64_MAX;
  // The bits above the trouble choose how the scan runs; none, as it runs
  // for a caller.
  const bool reseed = trouble_mode & 8, portable = trouble_mode & 16, no_digest_first = trouble_mode & 32;
  const Table table = build_table(specs, content, !no_digest_first);

  Caller caller;
  if (trouble_mode % 8 == 6) caller.raise_at_check = 1 + trouble_value % 4;
  MatchState state(&caller);
  state.options.reseed_rolled_sums = reseed;
  if (portable) state.options.kernels = &portable_kernels;
  state.options.digest_first = !no_digest_first;
  fill_state(&state, table);
  fuzz_check(index_seal(&state.index, &caller) == 0, "index_seal failed");
  const int rc = scan_for_matches(&state, FAKE_FD, file_size, buffer_size);
  const Outcome expected = reference_scan(table, content, fake_file.error_at, file_size, buffer_size);

  fuzz_check(state.window.buffer == nullptr, "the scan left its buffer");
  if (caller.failure.kind == FailKind::signal) {
    fuzz_check(rc == -1 && caller.signal_checks == caller.raise_at_check, "the scan went on after a handler raised");
    return 0;
  }
  fuzz_check(caller.raise_at_check == 0 || caller.signal_checks < caller.raise_at_check,
             "a handler raised and the scan went on");
  fuzz_check(caller.failure.kind == expected.kind, "the scan failed otherwise than the reference");
  fuzz_check(caller.failure.message == expected.message && caller.failure.error_number == expected.error_number,
             "the scan's failure says otherwise than the reference's");
  fuzz_check((rc == 0) == (expected.kind == FailKind::none), "the scan's result and its failure disagree");
  if (rc != 0) return 0;
  fuzz_check(state.weak_count == expected.weak_count, "weak counts differ");
  fuzz_check(state.strong_count == expected.strong_count, "strong counts differ");
  fuzz_check(state.bytes_matched == expected.bytes_matched, "bytes matched differ");
  fuzz_check(state.matches.size() == expected.matches.size(), "numbers of matches differ");
  for (size_t i = 0; i < expected.matches.size(); i++) {
    fuzz_check(
        state.matches[i].offset == expected.matches[i].first && state.matches[i].value == expected.matches[i].second,
        "matches differ");
  }
  return 0;
}
