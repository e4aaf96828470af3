// vantrel pack: the tree walk, the checks, and the archive writer behind the embedded stub.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <iterator>

#include "app/archive.h"
#include "cli/cli.h"
#include "packer/archive_writer.h"
#include "packer/embedded_stub.h"
#include "packer/pack_names.h"
#include "packer/pack_tree.h"

static void remove_partial_output(int) {
  // An interrupted pack leaves nothing behind: the output only ever appears by the final
  // rename, and the temporary file goes here.
  const char* temporary = pack_temporary_path();
  if (temporary[0]) unlink(temporary);
  _exit(exit_cancelled);
}

static int refuse(const std::string& why) {
  progress_clear();
  fprintf(stderr, "vantrel pack: %s\n", why.c_str());
  return exit_usage;
}

static bool read_text_file(const std::string& path, std::string& text) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  text.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// The password from whichever source was named; false after a refusal already reported.
static bool obtain_password(const pack_arguments& a, std::string& password, int& code) {
  code = exit_usage;
  if (a.has_password) {
    password = a.password;
  } else if (!a.password_file.empty()) {
    std::string text;
    if (!read_text_file(a.password_file, text)) {
      fprintf(stderr, "vantrel pack: cannot read the password file '%s'\n",
              a.password_file.c_str());
      code = exit_failed;
      return false;
    }
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
  } else if (a.ask_password) {
    std::string again;
    if (!read_hidden_line("Password: ", password) ||
        !read_hidden_line("Password again: ", again)) {
      fprintf(stderr, "vantrel pack: --ask-password needs a terminal\n");
      return false;
    }
    if (password != again) {
      fprintf(stderr, "vantrel pack: the two passwords differ\n");
      return false;
    }
  } else {
    return true;
  }
  if (password.empty()) {
    fprintf(stderr, "vantrel pack: the password is empty\n");
    return false;
  }
  return true;
}

void add_pack_speed_options(CLI::App* pack, pack_arguments& a) {
  // -1 ... -9 as with gzip: each sets the level, the last one given counts.
  for (int level = min_level; level <= max_level; level++) {
    std::string name = "-" + std::to_string(level);
    pack->add_flag_callback(name, [&a, level] { a.level = level; })->group("");
  }
  std::string level_help = "How hard to pack: ";
  level_help.append(std::to_string(min_level))
      .append(" packs fastest, ")
      .append(std::to_string(max_level))
      .append(" makes the smallest archive; -1 ... -9 say the same. Default ")
      .append(std::to_string(default_level))
      .append(", which on C headers packs faster than tar with gzip -9 and smaller");
  pack->add_option("--level", a.level, level_help)->check(CLI::Range(min_level, max_level));
  pack->add_option("-T,--threads", a.threads,
                   "Pack on N threads (default: one per core); the archive is the same for "
                   "every N")
      ->check(CLI::Range(1, 256));
}

static void show_pack_progress(int32_t, int64_t content_done) { progress_update(content_done); }

static bool names_file(const std::vector<pack_member>& members,
                       const std::vector<uint8_t>& run_after) {
  std::string wanted;
  if (!cp932_to_utf8(run_after, wanted)) return false;
  for (char& c : wanted)
    if (c == '/') c = '\\';
  std::u32string folded = fold_case(wanted);
  for (const pack_member& m : members) {
    if (m.is_folder) continue;
    std::string name;
    if (cp932_to_utf8(m.stored_name, name) && fold_case(name) == folded) return true;
  }
  return false;
}

int run_pack(const pack_arguments& a) {
  preamble_fields preamble;

  std::string message = a.message;
  if (!a.message_file.empty() && !read_text_file(a.message_file, message)) {
    fprintf(stderr, "vantrel pack: cannot read the message file '%s'\n", a.message_file.c_str());
    return exit_failed;
  }
  // A UTF-8 byte order mark at the start of a message file is no part of the message.
  if (message.compare(0, 3, "\xEF\xBB\xBF") == 0) message.erase(0, 3);
  std::string problem = message_to_cp932(message, preamble.message_text);
  if (!problem.empty()) return refuse(problem);

  if (!utf8_to_cp932(a.run_after, preamble.run_after))
    return refuse("--run-after: the name holds a character that CP932 cannot hold");
  if (preamble.run_after.size() > size_t(max_run_after))
    return refuse("--run-after is longer than " + std::to_string(max_run_after) + " bytes");

  std::string password;
  int code;
  if (!obtain_password(a, password, code)) return code;
  if (a.show_password && password.empty())
    return refuse("--show-password needs a password (--password, --password-file or "
                  "--ask-password)");
  if (!password.empty()) {
    if (!utf8_to_cp932(password, preamble.password))
      return refuse("the password holds a character that CP932 cannot hold");
    if (preamble.password.size() > size_t(max_password))
      return refuse("the password is longer than " + std::to_string(max_password) + " bytes");
    preamble.password_flag = a.show_password ? 2 : 1;
  }

  std::vector<pack_member> members;
  walk_outcome walked = collect_members(a.base_folder, a.paths, members);
  if (!walked.ok) {
    fprintf(stderr, "vantrel pack: %s\n", walked.error.c_str());
    return walked.refused ? exit_usage : exit_failed;
  }
  // An earlier archive of the same name inside the packed tree is not packed into its
  // successor.
  struct stat output_stat;
  if (stat(a.output.c_str(), &output_stat) == 0) {
    std::vector<pack_member> kept;
    for (pack_member& m : members) {
      struct stat st;
      if (!m.source.empty() && stat(m.source.c_str(), &st) == 0 &&
          st.st_dev == output_stat.st_dev && st.st_ino == output_stat.st_ino) {
        fprintf(stderr, "vantrel pack: '%s' is the output itself; not packed\n",
                m.source.c_str());
        continue;
      }
      kept.push_back(std::move(m));
    }
    members = std::move(kept);
  }
  problem = order_and_check_members(members);
  if (!problem.empty()) return refuse(problem);

  if (!preamble.run_after.empty() && !names_file(members, preamble.run_after))
    fprintf(stderr, "vantrel pack: warning: --run-after '%s' names no packed file\n",
            a.run_after.c_str());
  if (!password.empty())
    fprintf(stderr, "vantrel pack: note: the password only scrambles the archive, it does not "
                    "encrypt it; a short one is recovered in seconds\n");
  if (embedded_stub_is_stand_in)
    fprintf(stderr, "vantrel pack: warning: this vantrel was built without the Windows stub; "
                    "the archive will not run on Windows\n");

  int64_t total = 0;
  for (const pack_member& m : members) total += m.source.empty() ? int64_t(m.data.size())
                                                                 : m.source_size;
  progress_start(total, a.quiet);
  struct sigaction action = {};
  action.sa_handler = remove_partial_output;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  pack_settings settings;
  if (a.level) settings.level = a.level;
  settings.threads = a.threads;
  pack_outcome out = write_archive(a.output, embedded_stub, preamble, members,
                                   show_pack_progress, settings);
  progress_clear();
  if (!out.ok) {
    fprintf(stderr, "vantrel pack: %s\n", out.error.c_str());
    return out.refused ? exit_usage : exit_failed;
  }
  if (!a.quiet) {
    int32_t files = 0, folders = 0;
    for (const pack_member& m : members) (m.is_folder ? folders : files)++;
    printf("%s: %d files, %d folders, %lld bytes packed into %lld bytes\n", a.output.c_str(),
           files, folders, static_cast<long long>(out.content_size),
           static_cast<long long>(out.archive_size));
  }
  return exit_ok;
}
