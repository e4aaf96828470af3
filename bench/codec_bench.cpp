// Packing and unpacking speed and size on real data from this machine, each level of the packer
// side by side with gzip -9, xz -9, zstd -19 and 7-Zip's 7z a -mx=9 on the same files in the
// same run. Built twice: vantrel_bench over the engine as the tool builds it,
// vantrel_bench_compact over the engine in the stub's configuration.
//
//   vantrel_bench [--level N | --levels all|N,N,...] [--threads N]
//                 [--only include|mix|debug-mix] [--dir PATH] [--one-member] [--runs N] [--cache]
//                 [--old-archive FILE [--decode-rounds N]]
//
// Our side packs the files through the packer's own writer (write_archive: the members on
// --threads threads, 0 or absent for one per core, named by their paths, with the tool's
// records) and decodes the archive through the engine (open_archive, the block reader,
// begin_member/decode_member into /dev/null). The peers run as programs on a tar of the same
// files, as `tar c | gzip -9` would see them; their decode times are taken less what starting
// the shell and the tool costs on an empty stream. Decoding is checked once against the input
// before it is timed.
//
// Every round packs with each level and then with gzip -9, and decodes each archive beside
// gzip -d: on a shared machine the speed changes from minute to minute, and the median of the
// rounds' own ratios moves far less than the best times. The slow peers (xz, zstd, 7z) pack
// once. --cache keeps each archive in the temporary folder (named by data set, level and
// size) and reuses it on the next run, so decoder work can be timed without packing; packing
// is then not timed.
// --old-archive FILE times the decoding of each level against an archive the bench wrote
// before the packer had levels (its --cache file of the same data set, members without
// records): both decoded by this engine, in --decode-rounds rounds (10).
// --one-member packs each data set as a single member, which shows what the per-file framing
// costs: every member starts its models afresh.
// Data sets: every regular file under /usr/include; a mix of about 20 MB of text and
// binaries, half files from /usr/share and half programs and libraries (ELF files) from
// /usr/lib; and the mix of earlier measurements, the same /usr/share half with the first 10 MB
// of /usr/lib, which on a machine with debug packages is mostly compressed debug information.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <fstream>
#include <string>
#include <vector>

#include "app/archive.h"
#include "app/stub_size.h"
#include "engine/block_reader.h"
#include "engine/config.h"
#include "engine/edge.h"
#include "engine/lz_decoder.h"
#include "packer/archive_writer.h"
#include "packer/block_writer.h"
#include "packer/member_encoder.h"
#include "packer/pack_names.h"

namespace fs = std::filesystem;

namespace {

struct data_set {
  std::string name;
  std::vector<pack_member> members;   // named by their paths, in the packer's order
  std::vector<std::string> paths;     // the files, for the peers' tar
  size_t total = 0;
};

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The member's stored name: its path below / with '\' separators, or a made-up one where the
// path cannot be stored (no CP932 form, a name the extractor refuses, or one that differs
// from an earlier one only in case).
void name_member(pack_member& m, const fs::path& p, size_t index,
                 std::vector<std::u32string>& folded) {
  std::string relative = p.relative_path().string();
  std::replace(relative.begin(), relative.end(), '/', '\\');
  std::u32string f = fold_case(relative);
  if (!utf8_to_cp932(relative, m.stored_name) || !stored_name_problem(m.stored_name).empty() ||
      std::find(folded.begin(), folded.end(), f) != folded.end()) {
    relative = "renamed\\";
    relative.append(std::to_string(index));
    utf8_to_cp932(relative, m.stored_name);
    f = fold_case(relative);
  }
  folded.push_back(f);
  m.display_name = relative;
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
    if (it->is_regular_file(ec)) files.push_back(fs::absolute(it->path()));
  }
  std::sort(files.begin(), files.end());
  std::vector<std::u32string> folded;
  for (const pack_member& m : d.members) folded.push_back(fold_case(m.display_name));
  size_t added = 0;
  for (const fs::path& p : files) {
    if (added >= limit) break;
    uintmax_t size = fs::file_size(p, ec);
    if (ec || size > max_file) continue;
    std::vector<uint8_t> bytes = slurp(p);
    if (filter == elf_only && (bytes.size() < 4 || memcmp(bytes.data(), "\x7f" "ELF", 4) != 0)) continue;
    added += bytes.size();
    d.total += bytes.size();
    pack_member m;
    name_member(m, p, d.members.size(), folded);
    m.data = std::move(bytes);
    m.source_size = int64_t(m.data.size());
    m.creation_time = m.last_access_time = m.last_write_time = 133000000000000000ull;
    d.members.push_back(std::move(m));
    d.paths.push_back(p.string());
  }
}

void write_all(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

uint64_t checksum = 0;
void checksum_write(file_handle, const void* buffer, int32_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  for (int32_t i = 0; i < count; i++) checksum = (checksum ^ p[i]) * 0x100000001B3ull;
}

// Decodes every member into /dev/null through the engine; returns the members decoded. With
// records, they are walked as the member loop walks them (name up to its zero byte, then for a
// file its times and size; the bench's archives hold no folder entries); a bare archive
// (bare_archive below) has only each member's size before its body.
size_t decode_all(const std::string& path, bool records = true) {
  reset_archive_state();
  if (open_archive(path.c_str()) != ready) return 0;
  reader.end_of_stream = false;
  cancel_requested = 0;
  start_run();
  file_handle sink = platform_create_file("/dev/null");
  size_t count = 0;
  while (!reader.end_of_stream) {
    if (records) {
      while (read_stream_byte() != 0) {
      }
      for (int i = 0; i < 24; i++) read_stream_byte();
    }
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

// An archive of the members alone, each its size field and body with no records, encoded
// on one thread at `level`: the form of the archives this bench wrote before the packer had
// levels, so that their decoding can be timed against an archive of that time (--old-archive).
std::vector<uint8_t> bare_archive(const std::vector<const pack_member*>& members, int level,
                                  const std::vector<uint8_t>& stub) {
  std::vector<uint8_t> file = stub;
  preamble_fields fields;
  write_preamble(file, fields);
  block_writer w;
  block_writer_start(w, &file, {});
  auto run = std::make_unique<encoder_run>();
  run->level = level;
  encoder_start_run(*run, stub.data());
  for (const pack_member* m : members) {
    int32_t size = int32_t(m->data.size());
    for (int i = 0; i < 4; i++) block_write_byte(w, uint8_t(uint32_t(size) >> (8 * i)));
    encode_member(*run, m->data.data(), size, w);
  }
  block_writer_finish(w);
  patch_total_size(file);
  return file;
}

size_t decode_bare(const std::string& path) { return decode_all(path, false); }

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

bool decode_only = false;
bool one_member = false;    // the whole data set as a single member (what the framing costs)
bool use_cache = false;     // reuse the encoded archive of an earlier run
int threads = 0;            // the packer's threads; 0: one per core
std::string old_archive;    // --old-archive: to decode beside each level
int decode_rounds = 10;     // of that comparison

// A run that the engine ends (a damaged archive ends the process at once, with no
// destructors and no atexit) leaves its working folder behind; the next run removes the
// folders of processes that are gone.
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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return 0;
  size_t half = v.size() / 2;
  return v.size() % 2 ? v[half] : (v[half - 1] + v[half]) / 2;
}

struct our_level {
  int level;
  std::string archive;            // its path in the working folder
  size_t size = 0;                // the archive less the stub: records, names and all
  bool ok = false;
  bool cached = false;
  double pack_s = 1e30, decode_s = 1e30;
  std::vector<double> pack_ratios, decode_ratios;   // per round: ours / gzip's time
};

struct peer {
  const char* label;
  std::string pack;               // the command, with IN and OUT for the files
  std::string unpack;             // "" for a peer whose decoding is not timed
  std::string packed;
  size_t size = 0;
  double pack_s = 1e30, decode_s = 1e30, startup_s = 1e30;
};

std::string with_files(std::string command, const std::string& in, const std::string& out) {
  size_t at;
  while ((at = command.find("IN")) != std::string::npos) command.replace(at, 2, in);
  while ((at = command.find("OUT")) != std::string::npos) command.replace(at, 3, out);
  return command;
}

void bench(data_set& d, const std::vector<int>& levels, int runs) {
  if (one_member) {
    pack_member all;
    all.stored_name = {'a', 'l', 'l'};
    all.display_name = "all";
    for (const pack_member& m : d.members) all.data.insert(all.data.end(), m.data.begin(), m.data.end());
    d.members.assign(1, std::move(all));
    d.name += ", as one member";
  }
  // The bench wrote the old archive's members in the order of their paths, before the
  // packer's order.
  std::vector<std::string> path_order;
  for (const pack_member& m : d.members) path_order.push_back(m.display_name);
  std::string problem = order_and_check_members(d.members);
  if (!problem.empty()) {
    fprintf(stderr, "vantrel_bench: %s\n", problem.c_str());
    exit(1);
  }
  std::string folder =
      (fs::temp_directory_path() / ("vantrel_bench_" + std::to_string(getpid()))).string();
  fs::create_directories(folder);
  std::string plain = folder + "/plain";
  std::vector<uint8_t> concatenated;
  concatenated.reserve(d.total);
  for (const pack_member& m : d.members) concatenated.insert(concatenated.end(), m.data.begin(), m.data.end());
  if (one_member) {
    plain += ".bin";
    write_all(plain, concatenated);
  } else {
    plain += ".tar";
    std::string list = folder + "/files";
    std::ofstream f(list);
    for (const std::string& p : d.paths) f << p << "\n";
    f.close();
    run_command("tar cPf " + plain + " --no-recursion -T " + list);
  }
  uint64_t expected = 0;
  checksum = 0;
  for (size_t at = 0; at < concatenated.size(); at += 1 << 30)
    checksum_write(0, concatenated.data() + at, int32_t(std::min<size_t>(1 << 30, concatenated.size() - at)));
  expected = checksum;
  std::vector<uint8_t>().swap(concatenated);

  std::vector<uint8_t> stub(stub_size);
  for (size_t i = 0; i < stub.size(); i++) stub[i] = uint8_t("stand-in stub "[i % 14]);
  uint64_t name_hash = 0xcbf29ce484222325ull;
  for (char c : d.name) name_hash = (name_hash ^ uint8_t(c)) * 0x100000001B3ull;

  std::vector<our_level> ours;
  for (int level : levels) {
    our_level o;
    o.level = level;
    o.archive = folder + "/bench" + std::to_string(level) + ".exe";
    ours.push_back(o);
  }
  pack_settings settings;
  settings.threads = threads;
  auto pack_ours = [&](our_level& o) {
    settings.level = o.level;
    double t = now();
    pack_outcome out = write_archive(o.archive, stub.data(), {}, d.members, nullptr, settings);
    double took = now() - t;
    if (!out.ok) {
      fprintf(stderr, "vantrel_bench: packing failed: %s\n", out.error.c_str());
      exit(1);
    }
    o.pack_s = std::min(o.pack_s, took);
    return took;
  };
  auto decode_ours = [&](our_level& o) {
    double t = now();
    decode_all(o.archive);
    double took = now() - t;
    o.decode_s = std::min(o.decode_s, took);
    return took;
  };
  // The cached archives, and a first pack of the others that also checks them.
  for (our_level& o : ours) {
    char name[96];
    snprintf(name, sizeof name, "vantrel_bench_cache_%016llx_l%d_%zu_%zu.exe",
             (unsigned long long)name_hash, o.level, d.members.size(), d.total);
    std::string cached = (fs::temp_directory_path() / name).string();
    if (use_cache && fs::exists(cached)) {
      fs::copy_file(cached, o.archive, fs::copy_options::overwrite_existing);
      o.cached = true;
    } else if (use_cache) {
      pack_ours(o);
      fs::copy_file(o.archive, cached, fs::copy_options::overwrite_existing);
    }
  }

  peer peers[] = {
      {"gzip -9", "gzip -9 -c IN > OUT", "gzip -d -c IN > /dev/null", ""},
      {"xz -9", "xz -9 -c IN > OUT", "", ""},
      {"zstd -19", "zstd -19 -q -c IN > OUT", "zstd -d -q -c IN > /dev/null", ""},
      {"7z a -mx=9", "", "", ""},
  };
  const char* seven = system("command -v 7z > /dev/null") == 0 ? "7z" : "7zz";
  peers[3].pack = std::string("rm -f OUT && ") + seven + " a -mx=9 -bd -bso0 -bsp0 OUT IN";
  std::string empty = folder + "/empty.bin";
  write_all(empty, {});
  for (peer& p : peers) {
    p.packed = plain + "." + std::to_string(&p - peers) + (&p == &peers[3] ? ".7z" : ".packed");
    if (&p != &peers[0]) p.pack_s = run_command(with_files(p.pack, plain, p.packed));
    if (&p == &peers[0]) run_command(with_files(p.pack, plain, p.packed));
    p.size = size_t(fs::file_size(p.packed));
    if (p.unpack.empty()) continue;
    // A peer's decode time includes starting a shell and the tool, which our in-process
    // decode does not pay: the best of a few decodes of an empty stream comes off every time.
    std::string packed_empty = empty + ".packed";
    run_command(with_files(p.pack, empty, packed_empty));
    for (int k = 0; k < 5; k++) p.startup_s = std::min(p.startup_s, run_command(with_files(p.unpack, packed_empty, "")));
    fs::remove(packed_empty);
  }
  peer& gz = peers[0];

  for (int r = 0; r < runs && !decode_only; r++) {
    for (our_level& o : ours) {
      if (o.cached) continue;
      double took = pack_ours(o);
      double gz_took = run_command(with_files(gz.pack, plain, gz.packed));
      gz.pack_s = std::min(gz.pack_s, gz_took);
      o.pack_ratios.push_back(took / gz_took);
    }
    if (r == 0) {
      for (our_level& o : ours) {
        o.size = size_t(fs::file_size(o.archive)) - size_t(stub_size);
        checksum = 0;
        platform_set_write_hook(checksum_write);
        o.ok = decode_all(o.archive) == d.members.size() && checksum == expected;
        platform_set_write_hook(nullptr);
      }
    }
    for (our_level& o : ours) {
      double took = decode_ours(o);
      double gz_took = run_command(with_files(gz.unpack, gz.packed, "")) - gz.startup_s;
      gz.decode_s = std::min(gz.decode_s, gz_took);
      o.decode_ratios.push_back(gz_took / took);
    }
    double zs = run_command(with_files(peers[2].unpack, peers[2].packed, "")) - peers[2].startup_s;
    peers[2].decode_s = std::min(peers[2].decode_s, zs);
  }
  if (decode_only) {
    for (our_level& o : ours) {
      if (!o.cached) pack_ours(o);
      for (int r = 0; r < runs; r++) decode_ours(o);
      printf("%s, level %d: decode %.1f MB/s\n", d.name.c_str(), o.level, double(d.total) / 1e6 / o.decode_s);
    }
    fs::remove_all(folder);
    return;
  }

  printf("%s: %zu files, %zu bytes; the peers pack a tar of them (%zu bytes)\n", d.name.c_str(),
         d.members.size(), d.total, size_t(fs::file_size(plain)));
  printf("  ours: the archive less the stub (records, names, times and all), packed on %d "
         "thread(s); MB/s of the files' bytes, best of %d\n",
         pack_thread_count(threads), runs);
  printf("  %-12s %11s %6s %8s %8s  %7s %7s %7s %7s  %-22s %-22s\n", "codec", "size", "ratio",
         "pack MB/s", "dec MB/s", "/gzip-9", "/xz-9", "/zstd-19", "/7z-mx9",
         "pack time / gzip -9", "dec speed / gzip -d");
  auto mb = [&](double s) { return s >= 1e29 ? 0.0 : double(d.total) / 1e6 / s; };
  auto spread = [](const std::vector<double>& v, char* out, size_t n) {
    if (v.empty()) {
      snprintf(out, n, "%s", "-");
      return;
    }
    snprintf(out, n, "%.2fx (%.2f-%.2f)", median(v), *std::min_element(v.begin(), v.end()),
             *std::max_element(v.begin(), v.end()));
  };
  for (our_level& o : ours) {
    char name[40], pack_text[40], decode_text[40];
    snprintf(name, sizeof name, "vantrel -%d%s", o.level, VANTREL_FAST_PATHS ? "" : " stub");
    spread(o.pack_ratios, pack_text, sizeof pack_text);
    spread(o.decode_ratios, decode_text, sizeof decode_text);
    printf("  %-12s %11zu %6.3f %8.2f %8.1f  %7.3f %7.3f %7.3f %7.3f  %-22s %-22s%s\n", name, o.size,
           double(o.size) / double(d.total), mb(o.pack_s), mb(o.decode_s),
           double(o.size) / double(peers[0].size), double(o.size) / double(peers[1].size),
           double(o.size) / double(peers[2].size), double(o.size) / double(peers[3].size),
           pack_text, decode_text, o.ok ? "" : "  ** DECODED OUTPUT DIFFERS **");
  }
  for (peer& p : peers)
    printf("  %-12s %11zu %6.3f %8.2f %8s\n", p.label, p.size, double(p.size) / double(d.total),
           mb(p.pack_s), p.unpack.empty() ? "" : std::to_string(int(mb(p.decode_s) + 0.5)).c_str());
  printf(
      "  (pack time / gzip -9: each round's own ratio, median and range; dec speed / gzip -d "
      "likewise, gzip less its start-up of %.2f ms)\n",
      gz.startup_s * 1e3);
  if (!old_archive.empty()) {
    // The same members as bare archives in the old archive's order, decoded round after
    // round beside the old one.
    std::vector<const pack_member*> in_path_order;
    for (const std::string& name : path_order)
      for (const pack_member& m : d.members)
        if (m.display_name == name) in_path_order.push_back(&m);
    checksum = 0;
    for (const pack_member* m : in_path_order)
      if (!m->data.empty()) checksum_write(0, m->data.data(), int32_t(m->data.size()));
    expected = checksum;
    checksum = 0;
    platform_set_write_hook(checksum_write);
    bool old_ok = decode_bare(old_archive) == d.members.size() && checksum == expected;
    platform_set_write_hook(nullptr);
    if (!old_ok) {
      fprintf(stderr, "vantrel_bench: %s does not hold these %zu files\n", old_archive.c_str(),
              d.members.size());
      exit(1);
    }
    std::vector<std::string> bare;
    for (our_level& o : ours) {
      bare.push_back(folder + "/bare" + std::to_string(o.level) + ".exe");
      write_all(bare.back(), bare_archive(in_path_order, o.level, stub));
    }
    // Each level's decode is paired with a decode of the old archive, first before it and
    // then after it in alternate rounds, so that the load of a shared machine and the order
    // move both sides of a ratio alike. The old archive paired with itself is the control.
    bare.push_back(old_archive);
    std::vector<std::vector<double>> speed(bare.size());
    for (int r = 0; r < decode_rounds; r++) {
      for (size_t i = 0; i < bare.size(); i++) {
        double old_took = 0, took = 0;
        for (int k = 0; k < 2; k++) {
          double t = now();
          bool old_side = (k == 0) == (r % 2 == 0);
          decode_bare(old_side ? old_archive : bare[i]);
          (old_side ? old_took : took) = now() - t;
        }
        speed[i].push_back(old_took / took);
      }
    }
    printf("  decoding speed against %s (%zu bytes), members only, each round's own ratio:\n",
           old_archive.c_str(), size_t(fs::file_size(old_archive)));
    for (size_t i = 0; i < bare.size(); i++) {
      char name[40], text[40];
      snprintf(name, sizeof name, i < ours.size() ? "vantrel -%d" : "(itself)",
               i < ours.size() ? ours[i].level : 0);
      spread(speed[i], text, sizeof text);
      printf("  %-12s %11zu  %s\n", name, size_t(fs::file_size(bare[i])), text);
    }
  }
  printf("\n");
  fflush(stdout);
  fs::remove_all(folder);
}

std::vector<int> parse_levels(const char* text) {
  std::vector<int> out;
  if (!strcmp(text, "all")) {
    for (int l = min_level; l <= max_level; l++) out.push_back(l);
    return out;
  }
  for (const char* p = text; *p;) {
    int l = atoi(p);
    if (l < min_level || l > max_level) return {};
    out.push_back(l);
    p = strchr(p, ',');
    if (!p) break;
    p++;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  remove_abandoned_folders();
  // vantrel_bench_compact is built in the stub's configuration; its rows say "stub".
  printf("engine: %s\n\n", VANTREL_FAST_PATHS ? "the tool's configuration (-O3, every fast path)"
                                                : "the stub's configuration (-Os, compact variants)");
  std::vector<int> levels = {default_level};
  int runs = 3;
  std::string only, dir;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--level") && i + 1 < argc) levels = parse_levels(argv[++i]);
    else if (!strcmp(argv[i], "--levels") && i + 1 < argc) levels = parse_levels(argv[++i]);
    else if (!strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::max(0, atoi(argv[++i]));
    else if (!strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, atoi(argv[++i]));
    else if (!strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
    else if (!strcmp(argv[i], "--decode-only")) decode_only = true;   // for profiling
    else if (!strcmp(argv[i], "--dir") && i + 1 < argc) dir = argv[++i];
    else if (!strcmp(argv[i], "--one-member")) one_member = true;
    else if (!strcmp(argv[i], "--cache")) use_cache = true;
    else if (!strcmp(argv[i], "--old-archive") && i + 1 < argc)
      old_archive = argv[++i];
    else if (!strcmp(argv[i], "--decode-rounds") && i + 1 < argc)
      decode_rounds = std::max(1, atoi(argv[++i]));
    else levels.clear();
    if (levels.empty()) {
      fprintf(
          stderr,
          "usage: %s [--level N | --levels all|N,N,...] [--threads N] [--only include|mix|debug-mix] [--dir PATH] [--one-member] [--runs N] [--decode-only] [--cache] [--old-archive FILE [--decode-rounds N]]\n",
          argv[0]);
      return 2;
    }
  }
  if (!dir.empty()) {
    data_set d;
    d.name = dir;
    add_tree(d, dir.c_str(), SIZE_MAX, SIZE_MAX);
    bench(d, levels, runs);
    return 0;
  }
  if (only.empty() || only == "include") {
    data_set d;
    d.name = "/usr/include";
    add_tree(d, "/usr/include", SIZE_MAX, SIZE_MAX);
    bench(d, levels, runs);
  }
  if (only.empty() || only == "mix") {
    // Text and binaries: the programs and libraries under /usr/lib, without the separate
    // debug information, whose sections are already compressed with zlib.
    data_set d;
    d.name = "mix of /usr/share and programs and libraries under /usr/lib";
    add_tree(d, "/usr/share", 10u << 20, 4u << 20);
    add_tree(d, "/usr/lib", 10u << 20, 4u << 20, elf_only, "/usr/lib/debug");
    bench(d, levels, runs);
  }
  if (only.empty() || only == "debug-mix") {
    // The mix of earlier measurements: on a Debian machine with debug packages installed,
    // its /usr/lib half is mostly /usr/lib/debug, data that hardly compresses any further.
    data_set d;
    d.name = "mix of /usr/share and /usr/lib";
    add_tree(d, "/usr/share", 10u << 20, 4u << 20);
    add_tree(d, "/usr/lib", 10u << 20, 4u << 20);
    bench(d, levels, runs);
  }
  return 0;
}
