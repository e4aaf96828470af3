// vantrel: makes self-extracting archives and lists, tests and extracts them.
#include <CLI/CLI.hpp>

#include "cli/cli.h"

int main(int argc, char** argv) {
  CLI::App app{"vantrel: self-extracting archives for Windows.\n"
               "Exit codes: 0 success, 1 damaged or unreadable archive or failed write, "
               "2 wrong usage or wrong password, 130 cancelled (SIGINT, or quit at a question); "
               "ended by another signal: 129 SIGHUP, 131 SIGQUIT, 141 SIGPIPE, 143 SIGTERM."};
  app.set_version_flag("--version", std::string("vantrel ") + vantrel_version);
  app.require_subcommand(1);
  bool quiet_anywhere = false;
  app.add_flag("-q,--quiet", quiet_anywhere, "Show no progress");

  pack_arguments pa;
  CLI::App* pack = app.add_subcommand("pack", "Pack files and folders into a self-extracting .exe");
  pack->add_option("-o,--output", pa.output, "The archive to write (OUT.exe)")->required();
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

  read_arguments la, ta, xa;
  CLI::App* list = app.add_subcommand("list", "List the members of an archive");
  list->add_option("FILE", la.archive, "The archive")->required();
  auto* list_password = list->add_option("--password", la.password, "The archive's password");
  list->add_flag("--json", la.json, "Write the listing as JSON");
  list->add_flag("-q,--quiet", la.quiet, "Show no progress");

  CLI::App* test = app.add_subcommand("test", "Decode every member and report OK or the damage");
  test->add_option("FILE", ta.archive, "The archive")->required();
  auto* test_password = test->add_option("--password", ta.password, "The archive's password");
  test->add_flag("-q,--quiet", ta.quiet, "Show no progress and no OK line");

  CLI::App* extract = app.add_subcommand("extract", "Extract the members of an archive");
  extract->add_option("FILE", xa.archive, "The archive")->required();
  extract->add_option("NAME", xa.names,
                      "Extract only these members (a folder with everything below it)");
  extract->add_option("-o,--output", xa.destination,
                      "Folder to extract into (default: the current folder; made when missing)");
  auto* extract_password = extract->add_option("--password", xa.password,
                                               "The archive's password");
  extract->add_option("--overwrite", xa.overwrite,
                      "Existing files: ask (default on a terminal), always, never (default "
                      "otherwise)")
      ->check(CLI::IsMember({"ask", "always", "never"}));
  extract->add_flag("-q,--quiet", xa.quiet, "Show no progress and no summary");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
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
