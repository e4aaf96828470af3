// The progress line the commands share; the terminal itself is in cli/system_*.cpp.
#include "cli/cli.h"

#include <stdarg.h>
#include <stdio.h>

progress_meter progress;

void print_text(FILE* stream, const char* format, ...) {
  char small[512];
  va_list arguments;
  va_start(arguments, format);
  int n = vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (n < 0) return;
  if (size_t(n) < sizeof small) {
    write_text(stream, std::string(small, size_t(n)));
    return;
  }
  std::string text(size_t(n) + 1, '\0');
  va_start(arguments, format);
  vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  text.resize(size_t(n));
  write_text(stream, text);
}

std::string counted(int64_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

void progress_start(int64_t total, bool quiet) {
  progress = progress_meter{};
  progress.enabled = !quiet && stderr_is_terminal();
  progress.total = total;
  progress.started = seconds_now();
}

static std::string human_bytes(double n) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (n >= 1024 && u < 3) {
    n /= 1024;
    u++;
  }
  char text[32];
  snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
  return text;
}

void progress_update(int64_t done, bool force) {
  if (!progress.enabled) return;
  double now = seconds_now();
  if (!force && now - progress.last_draw < 0.2) return;
  progress.last_draw = now;
  double elapsed = now - progress.started;
  double percent = progress.total > 0 ? 100.0 * double(done) / double(progress.total) : 100.0;
  if (percent > 100) percent = 100;
  double speed = elapsed > 0 ? double(done) / elapsed : 0;
  std::string left = "--:--";
  if (speed > 0 && progress.total >= done) {
    long s = long(double(progress.total - done) / speed + 0.5);
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    left = text;
  }
  print_text(stderr, "\r\033[K%5.1f%%  %s of %s  %s/s  %s left", percent,
             human_bytes(double(done)).c_str(), human_bytes(double(progress.total)).c_str(),
             human_bytes(speed).c_str(), left.c_str());
  fflush(stderr);
  progress.drawn = true;
}

void progress_clear() {
  if (!progress.drawn) return;
  write_text(stderr, "\r\033[K");
  fflush(stderr);
  progress.drawn = false;
}
