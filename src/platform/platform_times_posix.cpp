// platform_times_posix.cpp - the DOS times of extracted files and folders, and a folder's mode, on POSIX.
#include "platform/platform.h"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// With TZ unset, glibc's mktime stats /etc/localtime at every call to see
// whether the zone changed: 2 microseconds per member. Naming the same file
// in TZ gives the same zone (and UTC when the file is missing) and lets the
// zone be read once.
void name_the_default_zone() {
  static bool named = false;
  if (named) return;
  named = true;
  if (getenv("TZ") == nullptr) (void)setenv("TZ", ":/etc/localtime", 0);
}

// The DOS time and date (local time) as seconds since 1970, or -1.
time_t seconds_of_dos_time(std::uint32_t dos_time_and_date) {
  // The members of a tree packed at once share their time: the last answer
  // spares mktime, which looks at the zone every time.
  static std::uint32_t last_time_and_date = 0;
  static time_t last_seconds = -1;
  if (dos_time_and_date == last_time_and_date && last_seconds != -1) return last_seconds;
  name_the_default_zone();
  struct tm broken_down = {};
  broken_down.tm_sec = static_cast<int>(dos_time_and_date & 0x1F) * 2;
  broken_down.tm_min = static_cast<int>((dos_time_and_date >> 5) & 0x3F);
  broken_down.tm_hour = static_cast<int>((dos_time_and_date >> 11) & 0x1F);
  broken_down.tm_mday = static_cast<int>((dos_time_and_date >> 16) & 0x1F);
  broken_down.tm_mon = static_cast<int>((dos_time_and_date >> 21) & 0x0F) - 1;
  broken_down.tm_year = static_cast<int>((dos_time_and_date >> 25) & 0x7F) + 80;
  broken_down.tm_isdst = -1;  // the stored time is local time, daylight saving unknown
  last_time_and_date = dos_time_and_date;
  last_seconds = mktime(&broken_down);
  return last_seconds;
}

}  // namespace

void platform_set_file_times(OutputFile file, std::uint32_t dos_time_and_date, std::uint32_t /*dos_attributes*/) {
  time_t seconds = seconds_of_dos_time(dos_time_and_date);
  if (seconds == static_cast<time_t>(-1)) return;
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  (void)futimens(static_cast<int>(file.handle), times);
}

void platform_set_folder_times(const char* path, std::uint32_t dos_time_and_date, int unix_mode) {
  // Opened without following a link, so only the folder itself is changed.
  int folder = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return;
  time_t seconds = seconds_of_dos_time(dos_time_and_date);
  if (seconds != static_cast<time_t>(-1)) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    (void)futimens(folder, times);
  }
  if (unix_mode >= 0) (void)fchmod(folder, static_cast<mode_t>(unix_mode & 0777));
  close(folder);
}
