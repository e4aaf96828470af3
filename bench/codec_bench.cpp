// Throughput and size of the codec on real data from this machine, side by side with gzip -9
// and zstd -19 on the same bytes in the same run. Built twice: vantrel_bench over the engine as
// the tool builds it, vantrel_bench_compact over the engine in the stub's configuration.
//
//   vantrel_bench [--level N] [--only include|mix|debug-mix] [--dir PATH] [--one-member]
//                 [--runs N] [--cache]
//
// --cache keeps each encoded archive in the temporary folder (named by data set, level and
// size) and reuses it on the next run, so decoder work can be timed without the slow encode;
// the encode column then shows the cached run as 0.
// --one-member packs each data set as a single member, which shows what the per-file
// framing costs: every member starts its models afresh.
// Data sets: every regular file under /usr/include, one member per file in path order (as
// the packer orders members); a mix of about 20 MB of text and binaries, half files from
// /usr/share and half programs and libraries (ELF files) from /usr/lib; and the mix of
// earlier measurements, the same /usr/share half with the first 10 MB of /usr/lib, which
// on a machine with debug packages is mostly compressed debug information.
// Our side encodes the members into one archive file and decodes it through the engine's own
// path (open_archive, the block reader, begin_member/decode_member into /dev/null); the
// peers compress the concatenation of the same files, and their decode times are taken less
// what starting the shell and the tool costs on an empty stream. Decoding is checked once
// against the input before it is timed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/archive.h"
#include "engine/block_reader.h"
#include "engine/config.h"
#include "engine/edge.h"
#include "engine/lz_decoder.h"
#include "packer/block_writer.h"
#include "packer/member_encoder.h"

namespace fs = std::filesystem;

namespace {

struct data_set {
  std::string name;
  std::vector<std::vector<uint8_t>> members;
  size_t total = 0;
};

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

enum file_filter { any_file, elf_only };
// Regular files under root in path order, up to limit bytes, skipping files above max_file
// and any under skip.
void add_tree(data_set& d, const char* root, size_t limit, size_t max_file,
              file_filter filter = any_file, const char* skip = nullptr) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (skip && it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink(ec)) continue;
    if (it->is_regular_file(ec)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  size_t added = 0;
  for (const fs::path& p : files) {
    if (added >= limit) break;
    uintmax_t size = fs::file_size(p, ec);
    if (ec || size > max_file) continue;
    std::vector<uint8_t> bytes = slurp(p);
    if (filter == elf_only && (bytes.size() < 4 || memcmp(bytes.data(), "\x7f" "ELF", 4) != 0)) continue;
    added += bytes.size();
    d.total += bytes.size();
    d.members.push_back(std::move(bytes));
  }
}

void write_all(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// An archive of the members: a stand-in stub of text-like bytes, an empty preamble, and per
// member its 4-byte size and body (the records' names and times are the packer's business).
std::vector<uint8_t> encode_all(const data_set& d, int level, std::vector<uint8_t>& stub) {
  std::vector<uint8_t> file = stub;
  preamble_fields fields;
  write_preamble(file, fields);
  block_writer w;
  block_writer_start(w, &file, {});
  static encoder_run run;
  run.level = level;
  encoder_start_run(run, stub.data());
  for (const std::vector<uint8_t>& m : d.members) {
    int32_t size = int32_t(m.size());
    for (int i = 0; i < 4; i++) block_write_byte(w, uint8_t(uint32_t(size) >> (8 * i)));
    encode_member(run, m.data(), size, w);
  }
  block_writer_finish(w);
  patch_total_size(file);
  return file;
}

uint64_t checksum = 0;
void checksum_write(file_handle, const void* buffer, int32_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  for (int32_t i = 0; i < count; i++) checksum = (checksum ^ p[i]) * 0x100000001B3ull;
}

// Decodes every member into /dev/null through the engine; returns the members decoded.
size_t decode_all(const std::string& path) {
  reset_archive_state();
  if (open_archive(path.c_str()) != ready) return 0;
  reader.end_of_stream = false;
  cancel_requested = 0;
  start_run();
  file_handle sink = platform_create_file("/dev/null");
  size_t count = 0;
  while (!reader.end_of_stream) {
    uint32_t size = 0;
    for (int i = 0; i < 4; i++) size |= uint32_t(read_stream_byte()) << (8 * i);
    begin_member(int32_t(size));
    decode_member(sink, false);
    end_member();
    count++;
  }
  platform_close(sink);
  platform_close(reader.archive_file);
  reader.archive_file = no_file;
  return count;
}

// A peer that fails (not installed, out of space) would leave no time to compare with: the
// run ends there rather than print ratios from nothing.
double run_command(const std::string& command) {
  double t = now();
  if (system(command.c_str()) != 0) {
    fprintf(stderr, "vantrel_bench: failed: %s\n", command.c_str());
    exit(1);
  }
  return now() - t;
}

void report(const char* who, size_t input, size_t output, double encode_s, double decode_s,
            size_t gzip_size) {
  printf("  %-14s %12zu  %6.3f  %8.2f  %8.1f  %+7.2f%%\n", who, output, double(output) / double(input),
         double(input) / 1e6 / encode_s, double(input) / 1e6 / decode_s,
         100.0 * (double(output) - double(gzip_size)) / double(gzip_size));
}

bool decode_only = false;
bool one_member = false;    // the whole data set as a single member (what the framing costs)
bool use_cache = false;     // reuse the encoded archive of an earlier run

// A run that the engine ends (a damaged archive ends the process at once, with no
// destructors and no atexit) leaves its working folder of about 130 MB behind; the next run
// removes the folders of processes that are gone.
void remove_abandoned_folders() {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    std::string name = e.path().filename().string();
    const std::string prefix = "vantrel_bench_";
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string digits = name.substr(prefix.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    pid_t pid = pid_t(atol(digits.c_str()));
    if (pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH) fs::remove_all(e.path(), ec);
  }
}

void bench(data_set& d, int level, int runs) {
  if (one_member) {
    std::vector<uint8_t> all;
    all.reserve(d.total);
    for (const std::vector<uint8_t>& m : d.members) all.insert(all.end(), m.begin(), m.end());
    d.members.assign(1, std::move(all));
    d.name += ", as one member";
  }
  std::string folder =
      (fs::temp_directory_path() / ("vantrel_bench_" + std::to_string(getpid()))).string();
  fs::create_directories(folder);
  std::string archive_path = folder + "/bench.exe", plain = folder + "/plain.bin";
  std::vector<uint8_t> concatenated;
  concatenated.reserve(d.total);
  for (const std::vector<uint8_t>& m : d.members) concatenated.insert(concatenated.end(), m.begin(), m.end());
  write_all(plain, concatenated);

  std::vector<uint8_t> stub(stub_size);
  for (size_t i = 0; i < stub.size(); i++) stub[i] = uint8_t("stand-in stub "[i % 14]);

  double t = now();
  std::vector<uint8_t> file;
  double encode_s = 1e30;
  std::string cached;
  if (use_cache) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : d.name) h = (h ^ uint8_t(c)) * 0x100000001B3ull;
    char name[96];
    snprintf(name, sizeof name, "vantrel_bench_cache_%016llx_l%d_%zu_%zu.exe", (unsigned long long)h,
             level, d.members.size(), d.total);
    cached = (fs::temp_directory_path() / name).string();
    if (fs::exists(cached)) file = slurp(cached);
  }
  if (file.empty()) {
    file = encode_all(d, level, stub);
    encode_s = now() - t;
    if (use_cache) write_all(cached, file);
  }
  write_all(archive_path, file);
  size_t ours = file.size() - stub_size - 4 - 3;   // the block stream, size fields included

  checksum = 0;
  platform_set_write_hook(checksum_write);
  size_t decoded = decode_all(archive_path);
  platform_set_write_hook(nullptr);
  uint64_t got = checksum;
  checksum = 0;
  checksum_write(0, concatenated.data(), int32_t(0));
  for (size_t at = 0; at < concatenated.size(); at += 1 << 30)
    checksum_write(0, concatenated.data() + at, int32_t(std::min<size_t>(1 << 30, concatenated.size() - at)));
  bool ok = decoded == d.members.size() && got == checksum;

  double decode_s = 1e9;
  auto decode_once = [&] {
    double start = now();
    decode_all(archive_path);
    double took = now() - start;
    decode_s = std::min(decode_s, took);
    return took;
  };
  if (decode_only) {
    for (int r = 0; r < runs; r++) decode_once();
    printf("%s: decode %.1f MB/s\n", d.name.c_str(), double(d.total) / 1e6 / decode_s);
    fs::remove_all(folder);
    return;
  }
  // The peers pack once, then every round decodes with all three in turn: on a shared
  // machine the speed changes from minute to minute, and a burst of load then falls on
  // every codec of a round rather than on one codec's runs.
  struct peer {
    const char* tool;
    const char* level;
    std::string packed;
    double encode_s, decode_s = 1e9;
    size_t size;
    double startup_s = 1e9;
  } peers[] = {{"gzip", "-9", "", 0, 1e9, 0}, {"zstd", "-19 -q", "", 0, 1e9, 0}};
  // A peer's time includes starting a shell and the tool, which our in-process decode does
  // not pay: the best of a few decodes of an empty stream is taken off its every time.
  std::string empty = folder + "/empty.bin";
  write_all(empty, {});
  auto pack_with = [](const peer& p, const std::string& input, const std::string& packed) {
    return run_command(std::string(p.tool) + " " + p.level + " -c " + input + " > " + packed);
  };
  auto decode_with = [](const peer& p, const std::string& packed) {
    return run_command(std::string(p.tool) + " -d -c " + packed + " > /dev/null");
  };
  for (peer& p : peers) {
    p.packed = plain + "." + p.tool;
    p.encode_s = pack_with(p, plain, p.packed);
    p.size = size_t(fs::file_size(p.packed));
    std::string packed_empty = empty + "." + p.tool;
    pack_with(p, empty, packed_empty);
    for (int k = 0; k < 5; k++) p.startup_s = std::min(p.startup_s, decode_with(p, packed_empty));
    fs::remove(packed_empty);
  }
  // Each round's own ratio to gzip too: a burst of load that slows one round moves the best
  // times of the two codecs unequally, but the median of the rounds' ratios hardly.
  std::vector<double> round_ratios;
  for (int r = 0; r < runs; r++) {
    double ours_s = decode_once();
    for (peer& p : peers) {
      double took = decode_with(p, p.packed) - p.startup_s;
      p.decode_s = std::min(p.decode_s, took);
      if (&p == &peers[0]) round_ratios.push_back(took / ours_s);
    }
  }
  std::sort(round_ratios.begin(), round_ratios.end());
  for (peer& p : peers) fs::remove(p.packed);
  double gz_enc = peers[0].encode_s, gz_dec = peers[0].decode_s;
  double zs_enc = peers[1].encode_s, zs_dec = peers[1].decode_s;
  size_t gz_size = peers[0].size, zs_size = peers[1].size;

  printf("%s: %zu files, %zu bytes%s\n", d.name.c_str(), d.members.size(), d.total,
         ok ? "" : "  ** DECODED OUTPUT DIFFERS **");
  printf("  %-14s %12s  %6s  %8s  %8s  %8s\n", "codec", "compressed", "ratio", "enc MB/s", "dec MB/s",
         "vs gzip");
  char ours_name[32];
  snprintf(ours_name, sizeof ours_name, "vantrel -%d%s", level, VANTREL_FAST_PATHS ? "" : " stub");
  report(ours_name, d.total, ours, encode_s, decode_s, gz_size);
  report("gzip -9", d.total, gz_size, gz_enc, gz_dec, gz_size);
  report("zstd -19", d.total, zs_size, zs_enc, zs_dec, gz_size);
  printf("  decode speed vs gzip -d: %.2fx (best times); rounds' own ratios: median %.2fx, %.2fx to %.2fx\n",
         gz_dec / decode_s, round_ratios[round_ratios.size() / 2], round_ratios.front(),
         round_ratios.back());
  printf("  (the peers' decode times are less their start-up on an empty stream: gzip %.2f ms, zstd %.2f ms)\n\n",
         peers[0].startup_s * 1e3, peers[1].startup_s * 1e3);
  fflush(stdout);
  fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  remove_abandoned_folders();
  // vantrel_bench_compact is built in the stub's configuration; its rows say "stub".
  printf("engine: %s\n\n", VANTREL_FAST_PATHS ? "the tool's configuration (-O3, every fast path)"
                                                : "the stub's configuration (-Os, compact variants)");
  int level = default_level, runs = 3;
  std::string only, dir;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--level") && i + 1 < argc) level = atoi(argv[++i]);
    else if (!strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, atoi(argv[++i]));
    else if (!strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
    else if (!strcmp(argv[i], "--decode-only")) decode_only = true;   // for profiling
    else if (!strcmp(argv[i], "--dir") && i + 1 < argc) dir = argv[++i];
    else if (!strcmp(argv[i], "--one-member")) one_member = true;
    else if (!strcmp(argv[i], "--cache")) use_cache = true;
    else {
      fprintf(stderr, "usage: %s [--level N] [--only include|mix|debug-mix] [--dir PATH] [--one-member] [--runs N] [--decode-only] [--cache]\n", argv[0]);
      return 2;
    }
  }
  if (!dir.empty()) {
    data_set d;
    d.name = dir;
    add_tree(d, dir.c_str(), SIZE_MAX, SIZE_MAX);
    bench(d, level, runs);
    return 0;
  }
  if (only.empty() || only == "include") {
    data_set d;
    d.name = "/usr/include";
    add_tree(d, "/usr/include", SIZE_MAX, SIZE_MAX);
    bench(d, level, runs);
  }
  if (only.empty() || only == "mix") {
    // Text and binaries: the programs and libraries under /usr/lib, without the separate
    // debug information, whose sections are already compressed with zlib.
    data_set d;
    d.name = "mix of /usr/share and programs and libraries under /usr/lib";
    add_tree(d, "/usr/share", 10u << 20, 4u << 20);
    add_tree(d, "/usr/lib", 10u << 20, 4u << 20, elf_only, "/usr/lib/debug");
    bench(d, level, runs);
  }
  if (only.empty() || only == "debug-mix") {
    // The mix of earlier measurements: on a Debian machine with debug packages installed,
    // its /usr/lib half is mostly /usr/lib/debug, data that hardly compresses any further.
    data_set d;
    d.name = "mix of /usr/share and /usr/lib";
    add_tree(d, "/usr/share", 10u << 20, 4u << 20);
    add_tree(d, "/usr/lib", 10u << 20, 4u << 20);
    bench(d, level, runs);
  }
  return 0;
}
