// vantrel: makes self-extracting archives and lists, tests and extracts them.
#include <CLI/CLI.hpp>

#include <sstream>

#include "cli/cli.h"
#include "cli/system.h"

static const char* const patterns_help =
    "\nPATTERNs are matched on the whole member path as list shows it ('/' between folders): "
    "* any characters, '/' included (so '*.h' is every header at any depth), ? one character, "
    "[...] one of a set ([a-z], [!x] none of them), \\x the character x. A PATTERN that "
    "matches a folder takes everything below it. --exclude PATTERN also matches the end of a "
    "path after any '/' ('*.o', '.git', 'cache/tmp' at any depth).\n";

static void add_exclusions(CLI::App* command, std::vector<std::string>& excludes,
                           std::vector<std::string>& files) {
  command
      ->add_option("--exclude", excludes,
                   "Leave out members matching PATTERN (repeatable); an excluded folder "
                   "goes with everything below it")
      ->type_name("PATTERN")
      ->allow_extra_args(false);
  command
      ->add_option("--exclude-from", files,
                   "Leave out members matching any PATTERN in FILE (one a line)")
      ->type_name("FILE")
      ->allow_extra_args(false);
  command->footer(patterns_help);
}

static CLI::Option* add_password_options(CLI::App* command, read_arguments& a) {
  auto* password = command->add_option("--password", a.password,
                                       "The archive's password (visible to other users of the "
                                       "machine; prefer --password-file)");
  auto* file = command->add_option("--password-file", a.password_file,
                                   "Take the password from the first line of a file");
  password->excludes(file);
  return password;
}

static void add_time_options(CLI::App* pack, pack_arguments& a) {
  pack->add_option("--mtime", a.mtime,
                   "Store no time later than TIME (UTC): @SECONDS since 1970, YYYY-MM-DD or "
                   "YYYY-MM-DD[T ]HH:MM[:SS][Z]. Without it, the environment's "
                   "SOURCE_DATE_EPOCH (seconds) does the same. All three times are clamped")
      ->type_name("TIME");
  pack->add_option_function<std::string>(
          "--times",
          [&a](const std::string& value) { a.write_time_only = value == "write-only"; },
          "Times stored: all (creation, last access, last write: the default) or write-only "
          "(the last write time in all three, so that a copy packs to the same bytes)")
      ->check(CLI::IsMember({"all", "write-only"}));
}

int vantrel_main(int argc, char** argv) {
  CLI::App app{
      "vantrel: self-extracting archives for Windows.\n"
      "Exit codes: 0 success; 1 damaged or unreadable archive, or a failed read or write; "
      "2 wrong usage, wrong password, a refused pack, or a PATTERN that matched nothing; "
      "3 not a Vantrel archive (list, test, extract); 4 packed, but unreadable entries were "
      "left out (pack --skip-unreadable); 130 cancelled (SIGINT, or quit at a question); "
      "ended by another signal: 129 SIGHUP, 131 SIGQUIT, 141 SIGPIPE, 143 SIGTERM."};
  app.set_version_flag("--version", std::string("vantrel ") + vantrel_version);
  app.require_subcommand(1);
  // "/path" is a path on every system, never an option (CLI11 takes it for one on Windows).
  app.allow_windows_style_options(false);
  bool quiet_anywhere = false;
  app.add_flag("-q,--quiet", quiet_anywhere, "Show no progress");

  pack_arguments pa;
  CLI::App* pack = app.add_subcommand("pack", "Pack files and folders into a self-extracting .exe");
  pack->add_option(
          "-o,--output", pa.output,
          "The archive to write (OUT.exe); - writes it to standard output (never to a terminal)")
      ->required();
  auto* message = pack->add_option("--message", pa.message, "Text the archive shows (UTF-8)");
  auto* message_file = pack->add_option("--message-file", pa.message_file,
                                        "Take the shown text from a UTF-8 file");
  message->excludes(message_file);
  pack->add_option("--run-after", pa.run_after,
                   "Program or document to open after a finished extraction");
  auto* password = pack->add_option("--password", pa.password,
                                    "Ask for this password before extracting. It only "
                                    "scrambles the data, it does not encrypt: a 16-bit check "
                                    "value is stored in clear, and a short password is found "
                                    "from it in seconds. Visible to other users of the "
                                    "machine; prefer the two below");
  auto* password_file = pack->add_option("--password-file", pa.password_file,
                                         "Take the password from the first line of a file");
  auto* ask = pack->add_flag("--ask-password", pa.ask_password,
                             "Ask for the password on the terminal, twice, without echo");
  password->excludes(password_file)->excludes(ask);
  password_file->excludes(ask);
  pack->add_flag("--show-password", pa.show_password,
                 "Let the extractor show the typed password instead of '*'");
  pack->add_option("-C,--directory", pa.base_folder,
                   "Name PATHs relative to this folder (\".\" is all of its contents)");
  pack->add_flag("-q,--quiet", pa.quiet, "Show no progress");
  add_pack_speed_options(pack, pa);
  pack->add_option("PATH", pa.paths, "Files and folders to pack")->required();
  add_exclusions(pack, pa.excludes, pa.exclude_files);
  add_time_options(pack, pa);
  pack->add_flag("--skip-unreadable", pa.skip_unreadable,
                 "Leave out files and folders that cannot be read, pack the rest and end with "
                 "exit code 4 (otherwise they refuse the pack, as other problems do)");

  read_arguments la, ta, xa;
  CLI::App* list = app.add_subcommand("list", "List the members of an archive");
  list->add_option("FILE", la.archive, "The archive; - reads it from standard input")
      ->required();
  list->add_option("PATTERN", la.names, "List only these members (see PATTERNs below)");
  add_exclusions(list, la.excludes, la.exclude_files);
  auto* list_password = add_password_options(list, la);
  list->add_flag("--json", la.json, "Write the listing as JSON");
  list->add_flag("-q,--quiet", la.quiet, "Show no progress");

  CLI::App* test = app.add_subcommand("test", "Decode every member and report OK or the damage");
  test->add_option("FILE", ta.archive, "The archive; - reads it from standard input")
      ->required();
  auto* test_password = add_password_options(test, ta);
  test->add_flag("-q,--quiet", ta.quiet, "Show no progress and no OK line");

  CLI::App* extract = app.add_subcommand("extract", "Extract the members of an archive");
  extract->add_option("FILE", xa.archive, "The archive; - reads it from standard input")
      ->required();
  extract->add_option("PATTERN", xa.names,
                      "Extract only these members (see PATTERNs below); a PATTERN that "
                      "matches nothing is reported and ends with exit code 2");
  add_exclusions(extract, xa.excludes, xa.exclude_files);
  extract->add_option("-o,--output", xa.destination,
                      "Folder to extract into (default: the current folder; made when missing)");
  auto* extract_password = add_password_options(extract, xa);
  extract->add_option("--overwrite", xa.overwrite,
                      "Existing files: ask (default on a terminal), always, never (default "
                      "otherwise)")
      ->check(CLI::IsMember({"ask", "always", "never"}));
  extract->add_flag("-q,--quiet", xa.quiet, "Show no progress and no summary");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help, the version and usage errors reach the user as the rest of the tool's text does.
    std::ostringstream out, err;
    int code = app.exit(e, out, err);
    write_text(stdout, out.str());
    write_text(stderr, err.str());
    return code == 0 ? exit_ok : exit_usage;
  }
  la.has_password = list_password->count() > 0;
  ta.has_password = test_password->count() > 0;
  xa.has_password = extract_password->count() > 0;
  pa.has_password = password->count() > 0;
  pa.has_message = message->count() > 0;
  pa.quiet |= quiet_anywhere;
  la.quiet |= quiet_anywhere;
  ta.quiet |= quiet_anywhere;
  xa.quiet |= quiet_anywhere;

  if (pack->parsed()) return run_pack(pa);
  if (list->parsed()) return run_list(la);
  if (test->parsed()) return run_test(ta);
  return run_extract(xa);
}
