#include "packer/archive_writer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string.h>
#include <thread>

#include "app/stub_size.h"
#include "packer/host_files.h"
#include "packer/member_encoder.h"
#include "packer/pack_names.h"

// Kept in static storage so that a signal handler may read it.
static char temporary_path[4096];

const char* pack_temporary_path() { return temporary_path; }

static bool is_folder_entry(const std::vector<uint8_t>& name) {
  return name.size() >= 2 && name[name.size() - 2] == '\\' && name.back() == '.';
}

// The UTF-8 form of a stored name for messages, '/' separated, without a folder entry's ".".
static std::string shown_name(const std::vector<uint8_t>& stored) {
  std::vector<uint8_t> name(stored.begin(), stored.end() - (is_folder_entry(stored) ? 2 : 0));
  std::string out;
  if (!cp932_to_utf8(name, out)) return std::string(name.begin(), name.end());
  // Only real separators are 0x5C here: UTF-8 has no 0x5C inside a character.
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

// '<name>' followed by text; built by appending (GCC 12 warns falsely about literal + string).
static std::string about(const std::vector<uint8_t>& stored, const char* text,
                         const std::string& more = "") {
  std::string out = "'";
  out.append(shown_name(stored)).append("'").append(text).append(more);
  return out;
}

std::string order_and_check_members(std::vector<pack_member>& members) {
  std::vector<std::string> problems = order_and_check_all_members(members);
  return problems.empty() ? "" : problems[0];
}

std::vector<std::string> order_and_check_all_members(std::vector<pack_member>& members) {
  if (members.empty()) return {"nothing to pack (an archive needs at least one member)"};
  std::vector<std::string> problems;
  for (pack_member& m : members) {
    if (m.is_folder != is_folder_entry(m.stored_name)) {
      problems.push_back(
          about(m.stored_name, ": a folder entry must end in \\. and only a folder entry may"));
      continue;
    }
    std::string problem = stored_name_problem(m.stored_name);
    if (!problem.empty()) problems.push_back(about(m.stored_name, ": ", problem));
  }
  std::stable_sort(members.begin(), members.end(),
                   [](const pack_member& a, const pack_member& b) {
                     return compare_stored_names(a.stored_name, b.stored_name) < 0;
                   });
  // The same member reached twice (a folder and a file inside it both named on the command
  // line) is stored once.
  std::vector<pack_member> kept;
  for (pack_member& m : members) {
    if (!kept.empty() && kept.back().stored_name == m.stored_name &&
        kept.back().source == m.source && kept.back().data == m.data)
      continue;
    if (!kept.empty() && kept.back().stored_name == m.stored_name) {
      problems.push_back(about(m.stored_name, " is named twice with different contents"));
      continue;
    }
    kept.push_back(std::move(m));
  }
  members = std::move(kept);
  // Windows keeps one entry per name regardless of case: of two such names one would
  // overwrite the other (or a file would stand where a folder is needed).
  std::map<std::u32string, size_t> seen;
  for (size_t i = 0; i < members.size(); i++) {
    std::string shown = shown_name(members[i].stored_name);
    auto [at, fresh] = seen.emplace(fold_case(shown), i);
    if (!fresh)
      problems.push_back(
          about(members[at->second].stored_name, " and '", shown)
              .append("' differ only in case; Windows would keep only one of them"));
  }
  return problems;
}

static void write_le(block_writer& w, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) block_write_byte(w, uint8_t(value >> (8 * i)));
}

void write_member_header(block_writer& w, const std::vector<uint8_t>& previous_name,
                         const pack_member& m, int32_t size) {
  size_t common = 0;
  while (common < previous_name.size() && common < m.stored_name.size() && common < 257 &&
         previous_name[common] == m.stored_name[common])
    common++;
  size_t start = 0;
  // The marker and count take two bytes, so reuse pays from three shared bytes on.
  if (common >= 3) {
    block_write_byte(w, '*');
    block_write_byte(w, uint8_t(common - 2));
    start = common;
  }
  block_write(w, m.stored_name.data() + start, m.stored_name.size() - start);
  block_write_byte(w, 0);
  if (m.is_folder) return;
  write_le(w, m.creation_time, 8);
  write_le(w, m.last_access_time, 8);
  write_le(w, m.last_write_time, 8);
  write_le(w, uint32_t(size), 4);
}

// Reads a whole source file, leaving its access time alone so that a second pack of the same
// tree is identical to the first.
static std::string read_source(const std::string& path, std::vector<uint8_t>& data) {
  bool too_large = false;
  std::string why = host_read_file(path, data, max_member_size, too_large);
  if (!why.empty()) return "cannot read '" + path + "': " + why;
  if (too_large) return "'" + path + "' is 2 GiB or larger, which an archive cannot hold";
  return "";
}

int pack_thread_count(int threads) {
  if (threads > 0) return std::min(threads, 256);
  int available = host_processor_count();
  if (available > 0) return available;
  return std::max(1, int(std::thread::hardware_concurrency()));
}

namespace {

// Members are encoded side by side. A member reads only the slots of the 255 file members
// before it (or the stub), and a slot holds the first bytes of a member as they are in the
// file, so the slots are known as soon as the members are read: the reader fills them in
// order, and each member's encoding is a function of its own bytes and its slots alone. The
// writer joins the bodies in member order, so the archive is the same on any number of
// threads.
//
// A file member k keeps its slot at ring[k % ring_size] while members up to k + 255 may
// refer to it. At most max_in_flight members wait to be written, so the slots any of them
// reads lie within the last max_in_flight + 255 members, and none is overwritten early.
constexpr int32_t max_in_flight = 256;
constexpr int32_t ring_size = 512;
static_assert(max_in_flight + slot_count - 1 <= ring_size, "the slot ring is too small");

struct encode_job {
  const pack_member* member = nullptr;
  std::vector<uint8_t> content;  // read from the member's source
  const uint8_t* data = nullptr;
  int32_t size = 0;
  member_view view;
  const std::vector<uint32_t>* sketch = nullptr;
  std::vector<uint8_t> body;
  bool queued = false;  // a file member, not yet taken by a thread
  bool done = false;
};

struct encode_pool {
  std::mutex lock;
  std::condition_variable work_ready;  // a job was queued, or the pool is stopping
  std::condition_variable job_done;
  std::deque<encode_job*> queue;
  bool stopping = false;
  std::vector<std::thread> threads;
};

void run_job(encode_job& job) {
  job.body = encode_member_in(job.view, job.data, job.size, *job.sketch);
}

void encode_worker(encode_pool& pool) {
  std::unique_lock<std::mutex> hold(pool.lock);
  for (;;) {
    pool.work_ready.wait(hold, [&] { return pool.stopping || !pool.queue.empty(); });
    if (pool.queue.empty()) return;
    encode_job* job = pool.queue.front();
    pool.queue.pop_front();
    job->queued = false;
    hold.unlock();
    run_job(*job);
    hold.lock();
    job->done = true;
    pool.job_done.notify_all();
  }
}

void stop_pool(encode_pool& pool) {
  {
    std::lock_guard<std::mutex> hold(pool.lock);
    pool.stopping = true;
    pool.queue.clear();
  }
  pool.work_ready.notify_all();
  for (std::thread& t : pool.threads) t.join();
  pool.threads.clear();
}

// Joins the pool's threads when the writer leaves early.
struct pool_guard {
  encode_pool& pool;
  ~pool_guard() { stop_pool(pool); }
};

}  // namespace

pack_outcome write_archive(const std::string& output_path, const uint8_t* stub_image,
                           const preamble_fields& preamble,
                           const std::vector<pack_member>& members, pack_progress progress,
                           const pack_settings& settings) {
  pack_outcome result;
  if (members.empty()) {
    result.refused = true;
    result.error = "nothing to pack (an archive needs at least one member)";
    return result;
  }
  host_output out;
  std::string why = host_output_create(output_path, temporary_path, sizeof temporary_path, out);
  if (!why.empty()) {
    result.error = "cannot create '" + output_path + "': " + why;
    return result;
  }
  auto fail = [&](const std::string& error, bool refused) {
    host_output_discard(out, temporary_path);
    temporary_path[0] = 0;
    result.ok = false;
    result.refused = refused;
    result.error = error;
    return result;
  };
  const std::string write_failed = "writing '" + output_path + "' failed";

  std::vector<uint8_t> head(stub_image, stub_image + stub_size);
  write_preamble(head, preamble);
  if (!host_output_write(out, head.data(), head.size())) return fail(write_failed, false);
  int64_t written = int64_t(head.size());

  std::vector<uint8_t> blocks;
  block_writer w;
  std::vector<uint8_t> no_password;
  block_writer_start(w, &blocks, preamble.password_flag ? preamble.password : no_password);

  auto drain = [&]() {
    if (!host_output_write(out, blocks.data(), blocks.size())) return false;
    written += int64_t(blocks.size());
    blocks.clear();
    return true;
  };
  const std::string too_large = "the archive would be larger than 2147483647 bytes, the most "
                                "its size field can express";

  // The stub's slot and the ring of members' slots (see encode_job).
  auto stub_run = std::make_unique<encoder_run>();
  encoder_start_run(*stub_run, stub_image);
  const encoder_slot empty_slot;
  std::vector<encoder_slot> ring(ring_size);

  std::deque<std::unique_ptr<encode_job>> pending;  // in member order
  int threads = pack_thread_count(settings.threads);
  // Content read ahead of the writing: enough to keep every thread busy, within a bound.
  const int64_t read_ahead = threads == 1 ? 0 : int64_t(threads) * (16 << 20);
  // Declared after everything the threads read, so that leaving early joins them first.
  encode_pool pool;
  pool_guard joins{pool};
  if (threads > 1)
    for (int i = 0; i < threads; i++) pool.threads.emplace_back(encode_worker, std::ref(pool));

  int64_t pending_bytes = 0;
  int32_t pending_files = 0;
  int64_t files_read = 0;
  size_t next = 0;
  std::vector<uint8_t> previous;
  int32_t done = 0;
  while (next < members.size() || !pending.empty()) {
    while (next < members.size() &&
           (pending.empty() || (pending_bytes < read_ahead && pending_files < max_in_flight))) {
      const pack_member& m = members[next++];
      auto job = std::make_unique<encode_job>();
      job->member = &m;
      if (!m.is_folder) {
        job->data = m.data.data();
        size_t length = m.data.size();
        if (!m.source.empty()) {
          std::string error = read_source(m.source, job->content);
          if (!error.empty()) return fail(error, error.find("2 GiB") != std::string::npos);
          job->data = job->content.data();
          length = job->content.size();
        }
        if (int64_t(length) >= max_member_size)
          return fail(about(m.stored_name, " is 2 GiB or larger"), true);
        job->size = int32_t(length);
        // The slots as the decoder holds them before file member k: member k - delta for
        // delta 1 to 255, the stub in slot 0 until member 255 takes it.
        int64_t k = files_read++;
        job->view.current_slot = int32_t((k + 1) % slot_count);
        job->view.slot0_is_stub = k < slot_count;
        job->view.unstable_stub_bytes = &stub_run->unstable_stub_bytes;
        job->view.level = settings.level;
        for (int32_t i = 0; i < slot_count; i++) job->view.slots[i] = &empty_slot;
        for (int64_t delta = 1; delta < slot_count; delta++) {
          int64_t source = k - delta;
          if (source < -1) break;
          int32_t index = int32_t((source + 1) % slot_count);
          job->view.slots[index] = source < 0 ? &stub_run->slots[0]
                                              : &ring[size_t(source % ring_size)];
        }
        encoder_slot& own = ring[size_t(k % ring_size)];
        own.bytes.assign(job->data, job->data + std::min(job->size, slot_capacity));
        own.filled = true;
        own.sketch = job->size > 0 ? member_sketch(job->data, job->size)
                                   : std::vector<uint32_t>();
        job->sketch = &own.sketch;
        pending_bytes += job->size;
        pending_files++;
        if (threads > 1) {
          std::lock_guard<std::mutex> hold(pool.lock);
          job->queued = true;
          pool.queue.push_back(job.get());
          pool.work_ready.notify_one();
        }
      } else {
        job->done = true;
      }
      pending.push_back(std::move(job));
    }

    encode_job& job = *pending.front();
    if (threads == 1 && !job.done) {
      run_job(job);
      job.done = true;
    } else {
      std::unique_lock<std::mutex> hold(pool.lock);
      pool.job_done.wait(hold, [&] { return job.done; });
    }
    const pack_member& m = *job.member;
    write_member_header(w, previous, m, job.size);
    previous = m.stored_name;
    if (!m.is_folder) {
      block_write(w, job.body.data(), job.body.size());
      result.content_size += job.size;
      pending_bytes -= job.size;
      pending_files--;
    }
    pending.pop_front();
    if (!drain()) return fail(write_failed, false);
    if (written + w.pending_length + 2 > INT32_MAX) return fail(too_large, true);
    if (progress) progress(++done, result.content_size);
  }
  block_writer_finish(w);
  if (!drain()) return fail(write_failed, false);
  if (written > INT32_MAX) return fail(too_large, true);

  uint8_t size_bytes[4];
  for (int i = 0; i < 4; i++) size_bytes[i] = uint8_t(uint64_t(written) >> (8 * i));
  if (!host_output_write_at(out, stub_size, size_bytes, 4)) return fail(write_failed, false);
  if (!host_output_finish(out)) return fail(write_failed, false);
  why = host_rename_over(temporary_path, output_path);
  if (!why.empty()) {
    result.error = "cannot rename the finished archive to '" + output_path + "': " + why;
    host_output_discard(out, temporary_path);
    temporary_path[0] = 0;
    return result;
  }
  temporary_path[0] = 0;
  result.ok = true;
  result.archive_size = written;
  return result;
}
