// The LZ decoder: symbols of the two adaptive models into the member's bytes, through the
// output window, with the dictionary slots as the source of the shared prefix and history.
//
// The coded data is untrusted beyond its block checksums. A reference to a slot this run
// has not filled, a shared prefix longer than the member or its slot, a distance reaching
// before the first byte the window holds, or a match running past the member's end is a
// damaged archive; checking them keeps every copy inside the window and the slots.
#include "engine/lz_decoder.h"

#include <string.h>

#include "engine/block_reader.h"
#include "engine/edge.h"
#include "engine/huffman_table.h"

decoder_state decoder;
volatile uint8_t cancel_requested;

// Counts would overflow their signed 32 bits in a member of more symbols than this (sums of
// 512 counts starting at 1 or 2); such a member cannot come from a sound archive.
static constexpr int32_t max_symbols = INT32_MAX - 4096;

// While the distance model is rebuilt every 64 matches, a full table costs more to build
// than it saves; a short one, built from the few nodes near the root, still takes most of a
// walk's steps away.
static constexpr int early_distance_table_bits = 6;

void start_run() {
  slot_table& t = decoder.table;
  memcpy(t.slots[0].bytes, decoder.stub_image, slot_capacity);
  t.slots[0].length = slot_capacity;
  for (int i = 0; i < slot_count; i++) t.filled[i] = false;
  t.filled[0] = true;
  t.current_slot = 1;
  huffman_init(decoder.first_literal_length, literal_length_kind);
  huffman_rebuild(decoder.first_literal_length);
  huffman_init(decoder.first_distance, distance_kind);
  huffman_rebuild(decoder.first_distance);
  decoder.literal_length_rebuilt = true;
  decoder.distance_rebuilt = true;
}

void begin_member(int32_t size) {
  decoder_state& d = decoder;
  if (size < 0) fail_run(failure_damaged);
  d.size = size;
  d.table.slots[d.table.current_slot].length = size > slot_capacity ? slot_capacity : size;

  int32_t delta = read_stream_byte();
  int32_t shared = 0;
  if (delta != 0) {
    shared = read_stream_byte();
    shared |= int32_t(read_stream_byte()) << 8;
  } else {
    delta = 1;
  }
  d.reference_delta = delta;
  d.shared_length = shared;
  d.reference_slot = (d.table.current_slot + slot_count - delta) % slot_count;
  if (!d.table.filled[d.reference_slot]) fail_run(failure_damaged);
  int32_t slot_length = d.table.slots[d.reference_slot].length;
  if (shared > size || shared > slot_length) fail_run(failure_damaged);

  int32_t h = slot_length - shared;
  if (h > max_history_from_slot) h = max_history_from_slot;
  int32_t t = history_size - h;
  if (t > shared) t = shared;
  d.history_length = h + t;
  d.history_start = shared - t;
  d.window.flush_start = d.history_length;
}

static void write_out(const uint8_t* bytes, int32_t count) {
  if (count > 0 && !platform_write(decoder.output_file, bytes, count)) fail_run(failure_write);
}

// The member's bytes within the slot's capacity, into the current slot. The member itself
// never reads that slot (its reference is another one, and its history was loaded into the
// window), so the decoder fills it in one piece: at the first flush, when the window still
// holds all of them (history_length + slot_capacity < window_size), or at the member's end.
static void keep_slot_bytes(int32_t produced) {
  decoder_state& d = decoder;
  int32_t n = slot_capacity - d.shared_length;
  if (n > produced) n = produced;
  if (n > 0)
    memcpy(d.table.slots[d.table.current_slot].bytes + d.shared_length,
           d.window.bytes + d.history_length, size_t(n));
}

// The window is full: the pending bytes go to the file and the last 16384 stay as history.
static void flush_full_window() {
  output_window& w = decoder.window;
  if (w.base == 0) keep_slot_bytes(window_size - decoder.history_length);
  if (!w.skip_output) write_out(w.bytes + w.flush_start, flush_size - w.flush_start);
  w.flush_start = 0;
  memmove(w.bytes, w.bytes + flush_size, window_size - flush_size);
  w.base += flush_size;
}

static void final_flush() {
  output_window& w = decoder.window;
  if (w.position != w.base)
    write_out(w.bytes + w.flush_start, int32_t(w.position - w.base) - w.flush_start);
}

// n bytes in 8-byte words, at least 32 of them: to may run up to 31 bytes past n, and
// from must lie at least 8 bytes before to (or not overlap it at all).
static inline void copy_words(uint8_t* to, const uint8_t* from, int32_t n) {
  uint64_t v;
  for (int32_t i = 0; i < 32; i += 8) {
    memcpy(&v, from + i, 8);
    memcpy(to + i, &v, 8);
  }
  for (int32_t i = 32; i < n; i += 8) {
    memcpy(&v, from + i, 8);
    memcpy(to + i, &v, 8);
  }
}

// n bytes from distance back, within the window: from = to - distance.
static inline void copy_bytes(uint8_t* to, const uint8_t* from, int32_t n, int32_t distance) {
  if (distance >= 8) {
    // Whole words, past the end by up to 31 bytes (the window's slack); a distance of at
    // least 8 keeps every word's source bytes written before they are read. The first
    // four words go unconditionally: most matches are no longer, and a loop whose count
    // varies from match to match is mispredicted at its end.
    copy_words(to, from, n);
  } else if (distance == 1) {
    memset(to, *from, size_t(n));
  } else {
    // Overlapping: the last distance bytes repeat, byte by byte in order.
    for (int32_t i = 0; i < n; i++) to[i] = from[i];
  }
}

// length bytes from distance back. The caller has checked that the distance lies within the
// window and the length within the member.
static void copy_match(int32_t length, int32_t distance) {
  decoder_state& d = decoder;
  output_window& w = d.window;
  while (length > 0) {
    if (int32_t(w.position - w.base) == window_size) flush_full_window();
    int32_t at = int32_t(w.position - w.base);
    int32_t n = window_size - at;
    if (n > length) n = length;
    uint8_t* to = w.bytes + at;
    copy_bytes(to, to - distance, n, distance);
    w.position += uint32_t(n);
    length -= n;
  }
}

// A model back to its state after init and the first rebuild. The whole model is about
// 18 kB; when it has not been rebuilt since the last reset, only its 2 kB of counts changed.
static void reset_model(huffman_model& m, const huffman_model& first, bool& rebuilt) {
  if (rebuilt)
    memcpy(&m, &first, sizeof(huffman_model));
  else
    memcpy(m.counts, first.counts, sizeof m.counts);
  rebuilt = false;
}

// A match's length and distance, after its length symbol: the 12 extra bits of symbol 511,
// the distance model's symbol for the high part and 5 bits for the low part.
static inline void decode_match(bit_reader& bits, int symbol, int32_t& length,
                                int32_t& distance) {
  length = symbol < 511 ? symbol - 254 : 257 + int32_t(read_bits(bits, 12));
  int32_t high = decode_symbol(decoder.distance_model, bits);
  distance = 32 * high + 1 + int32_t(read_bits(bits, 5));
}

// A match has been copied: the distance model is rebuilt on its schedule.
static inline void count_match(int32_t& matches) {
  matches++;
  if (distance_due(matches)) {
    huffman_rebuild(decoder.distance_model,
                    matches >= 1024 ? huffman_table_bits : early_distance_table_bits);
    decoder.distance_rebuilt = true;
  }
}

void decode_member(file_handle output_file, bool skip_output) {
  decoder_state& d = decoder;
  output_window& w = d.window;
  const dictionary_slot& reference = d.table.slots[d.reference_slot];
  dictionary_slot& current = d.table.slots[d.table.current_slot];
  int32_t shared = d.shared_length;

  d.output_file = output_file;
  w.skip_output = skip_output;
  if (!skip_output) write_out(reference.bytes, shared);
  memmove(current.bytes, reference.bytes, size_t(shared));
  memcpy(w.bytes, reference.bytes + d.history_start, size_t(d.history_length));
  w.position = uint32_t(d.history_length);
  w.base = 0;

  // Both models as init and a rebuild leave them: the literal/length model's rebuild before
  // the first symbol is thereby done (its pump still happens there).
  reset_model(d.literal_length_model, d.first_literal_length, d.literal_length_rebuilt);
  reset_model(d.distance_model, d.first_distance, d.distance_rebuilt);

  // The loop keeps its counters, the window position and the bit reader in locals: every
  // byte stored into the window could otherwise alias the decoder's fields, which the
  // compiler would then reload after each one. They go back at the end. The reader is
  // only ever handed to functions as a copy, so that its fields can stay in registers.
  bit_reader_reset(d.bits);
  bit_reader bits = d.bits;
  huffman_model& literal_length = d.literal_length_model;
  const int32_t remaining = d.size - shared;
  // Produced bytes count from the window's start position; a byte's window index is
  // produced - offset, and the window is full at produced == full. Both change only when
  // the window flushes.
  const uint32_t start = w.position;
  int32_t produced = 0;
  uint32_t offset = w.base - start, full = offset + window_size;
  // The literal/length model's schedule (literal_length_due) as a count down to the next
  // rebuild, and the number of symbols that will have been decoded then.
  int32_t matches = 0, countdown = 0, rebuild_at = 0;
  while (produced < remaining && !cancel_requested) {
    if (countdown == 0) {
      if (rebuild_at > max_symbols) fail_run(failure_damaged);
      // Always with a table: walking the tree costs more, even for 256 symbols.
      if (rebuild_at > 0) {
        huffman_rebuild(literal_length);
        d.literal_length_rebuilt = true;
      }
      platform_pump_one_message();
      countdown = rebuild_at < 2048 ? 256 : 1024;
      rebuild_at += countdown;
    }
    // The window is full: flushed now rather than at the next byte, which comes next
    // whatever the symbol (a match flushes first thing too).
    if (uint32_t(produced) == full) {
      w.position = start + uint32_t(produced);
      flush_full_window();
      offset = w.base - start;
      full = offset + window_size;
    }
    // A run of literals, up to the next rebuild, the member's end or the window's end,
    // whichever comes first. A match, and a code longer than the table, take the path after
    // the run.
    int32_t room = remaining - produced;
    if (int32_t(full - uint32_t(produced)) < room) room = int32_t(full - uint32_t(produced));
    uint8_t* const run_start = w.bytes + (uint32_t(produced) - offset);
    uint8_t* out = run_start;
    uint8_t* const stop = run_start + room;
    int32_t left = countdown;
    int symbol = -1;
    // Each symbol's table entry is looked up as soon as the one before has been taken
    // from the buffer, before the refill, so that the lookup does not wait for it. Its bits
    // are all there: after a refill of whole words the buffer holds at least 56 bits, less
    // one literal's at most 10; and where the block has run out of bytes the refill adds
    // none, so the test for 18 bits after it held before the lookup too.
    bit_reader_fill(bits);
    if (bits.bits >= 18) {
      const uint16_t* table = literal_length.table;
      uint16_t entry = table[bits.buffer & ((1u << huffman_table_bits) - 1)];
      for (;;) {
        if (entry & huffman_table_walk) break;
        int code_length = entry >> 9;
        bits.buffer >>= code_length;
        bits.bits -= code_length;
        symbol = entry & (huffman_symbols - 1);
        literal_length.counts[symbol]++;
        left--;
        if (symbol >= 256) break;
        *out++ = uint8_t(symbol);
        symbol = -1;
        if (out == stop || left == 0 || cancel_requested) break;
        entry = table[bits.buffer & ((1u << huffman_table_bits) - 1)];
        bit_reader_fill(bits);
        if (bits.bits < 18) break;
      }
    }
    produced += int32_t(out - run_start);
    countdown = left;
    if (symbol < 0) {
      // No symbol in hand: the run reached its stop or was cancelled, or the next code is
      // longer than the table or the buffer runs low near a block's end.
      if (out == stop || countdown == 0 || cancel_requested) continue;
      symbol = decode_symbol_with_table(literal_length, bits, huffman_table_bits);
      countdown--;
      if (symbol < 256) {
        w.bytes[uint32_t(produced) - offset] = uint8_t(symbol);
        produced++;
        continue;
      }
    }
    // A match, its symbol from the run or from the path above.
    int32_t length, distance;
    decode_match(bits, symbol, length, distance);
    if (length > remaining - produced || distance > int32_t(uint32_t(produced) - offset))
      fail_run(failure_damaged);
    if (length <= int32_t(full - uint32_t(produced))) {
      uint8_t* to = w.bytes + (uint32_t(produced) - offset);
      copy_bytes(to, to - distance, length, distance);
    } else {
      w.position = start + uint32_t(produced);
      copy_match(length, distance);
      offset = w.base - start;
      full = offset + window_size;
    }
    produced += length;
    count_match(matches);
  }
  int32_t symbols = rebuild_at - countdown;
  w.position = start + uint32_t(produced);
  if (w.base == 0) keep_slot_bytes(produced);
  d.produced = produced;
  d.symbol_count = symbols;
  d.match_count = matches;
  d.bits = bits;
  bit_reader_finish(d.bits);
  if (!skip_output) final_flush();
}

void end_member() {
  slot_table& t = decoder.table;
  t.filled[t.current_slot] = true;
  t.current_slot = (t.current_slot + 1) % slot_count;
}
