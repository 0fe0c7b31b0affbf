// platform_posix.cpp - the platform services on Linux and other POSIX systems.
#include "platform/platform.h"
#include "platform/platform_shared.h"

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <dirent.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

int g_fake_console = -1;  // -1: ask the system

// The terminal's settings before the password prompt, and with the echo off.
struct termios g_saved_terminal;
struct termios g_quiet_terminal;
volatile sig_atomic_t g_echo_hidden = 0;

// The signals handled while the echo is off: the first four end the process,
// SIGTSTP stops it, SIGCONT continues it.
constexpr int k_prompt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};
constexpr int k_prompt_signal_count = sizeof k_prompt_signals / sizeof k_prompt_signals[0];
struct sigaction g_previous_actions[k_prompt_signal_count];
volatile sig_atomic_t g_handled[k_prompt_signal_count];

void restore_signal_actions() {
  for (int i = 0; i < k_prompt_signal_count; ++i) {
    if (!g_handled[i]) continue;
    g_handled[i] = 0;
    sigaction(k_prompt_signals[i], &g_previous_actions[i], nullptr);
  }
}

// A process in the background of its terminal that changes the settings is
// stopped with SIGTTOU, except while it blocks that signal, as every handler
// here does.
void set_terminal(const struct termios* settings) { (void)tcsetattr(STDIN_FILENO, TCSANOW, settings); }

// Hides the echo again while the prompt still waits and the terminal is the
// process's (a job continued in the background would be stopped by the read).
void hide_echo_again() {
  if (g_echo_hidden && tcgetpgrp(STDIN_FILENO) == getpgrp()) set_terminal(&g_quiet_terminal);
}

// SIGINT, SIGTERM, SIGHUP, SIGQUIT: the echo back on, then the signal's
// action from before the prompt (the default: the process ends).
void restore_echo_and_reraise(int signal_number) {
  platform_show_input();
  raise(signal_number);
}

// Ctrl-Z: the echo back on while the process is stopped (the shell may start
// other programs meanwhile), then off again on its return, as SIGCONT also
// does. In an orphaned process group the stop is dropped and the process
// goes on at once.
void restore_echo_and_stop(int) {
  int saved_errno = errno;
  if (g_echo_hidden) set_terminal(&g_saved_terminal);
  struct sigaction stop = {};
  stop.sa_handler = SIG_DFL;
  struct sigaction ours;
  sigaction(SIGTSTP, &stop, &ours);
  raise(SIGTSTP);
  sigset_t stop_signal;
  sigemptyset(&stop_signal);
  sigaddset(&stop_signal, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop_signal, nullptr);  // the process stops here
  sigaction(SIGTSTP, &ours, nullptr);
  hide_echo_again();
  errno = saved_errno;
}

void hide_echo_on_continue(int) {
  int saved_errno = errno;
  hide_echo_again();
  errno = saved_errno;
}

// Handles the prompt signals but those ignored (nohup ignores SIGHUP, a shell
// without job control SIGTSTP): an ignored signal stays ignored.
void handle_prompt_signals() {
  struct sigaction handler = {};
  sigemptyset(&handler.sa_mask);
  sigaddset(&handler.sa_mask, SIGTTOU);
  for (int i = 0; i < k_prompt_signal_count; ++i) {
    int signal_number = k_prompt_signals[i];
    struct sigaction previous;
    if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    bool job_control = signal_number == SIGTSTP || signal_number == SIGCONT;
    handler.sa_handler = signal_number == SIGTSTP   ? restore_echo_and_stop
                         : signal_number == SIGCONT ? hide_echo_on_continue
                                                    : restore_echo_and_reraise;
    // The prompt's read goes on after a stop; an ending signal needs no restart.
    handler.sa_flags = job_control ? SA_RESTART : 0;
    g_previous_actions[i] = previous;
    g_handled[i] = 1;
    sigaction(signal_number, &handler, nullptr);
  }
}

}  // namespace

int platform_vfprintf(FILE* stream, const char* format, va_list arguments) {
  return vfprintf(stream, format, arguments);
}

const char* platform_command_line() { return nullptr; }

bool platform_stdout_is_console() {
  if (g_fake_console >= 0) return g_fake_console == 1;
  return isatty(STDOUT_FILENO) == 1;
}

void platform_fake_stdout_is_console(bool is_console) { g_fake_console = is_console ? 1 : 0; }

void platform_exit_pause() {
  // The console itself, not standard input, which may be redirected.
  int console = open("/dev/tty", O_RDONLY | O_CLOEXEC);
  int open_error = errno;
  // Started in the background (./setup &), the read would stop the process
  // until the user brings it to the foreground; nobody is there to press Enter.
  if (console >= 0 && tcgetpgrp(console) != getpgrp()) {
    close(console);
    return;
  }
  printf("\n \n Press Enter to continue \n");
  fflush(stdout);
  char byte;
  if (console < 0) {
    printf("exit routine error GetLastError=%i \n", open_error);
  } else if (read(console, &byte, 1) != 1) {
    printf("exit routine error GetLastError=%i \n", errno);
  }
  if (console >= 0) close(console);
}

namespace {

// True when path, with every link along it followed, lies in the current
// directory or below it.
bool leads_inside_current_folder(const char* path) {
  char here[PATH_MAX];
  char there[PATH_MAX];
  if (realpath(".", here) == nullptr || realpath(path, there) == nullptr) return false;
  std::size_t length = strlen(here);
  if (length == 1) return true;  // the extraction folder is the root itself
  return strncmp(here, there, length) == 0 && (there[length] == '\0' || there[length] == '/');
}

}  // namespace

char* platform_utf8_of_dos_name(const char* name) { return strdup(name); }

FolderResult platform_make_directory(const char* path) {
  if (mkdir(path, 0777) == 0) return FolderResult::ready;
  struct stat found;
  if (lstat(path, &found) != 0) return FolderResult::failed;
  if (S_ISDIR(found.st_mode)) return FolderResult::ready;
  struct stat target;
  if (!S_ISLNK(found.st_mode) || stat(path, &target) != 0 || !S_ISDIR(target.st_mode)) return FolderResult::failed;
  return leads_inside_current_folder(path) ? FolderResult::ready : FolderResult::outside;
}

namespace {

// The creation mask, read once: a new file whose bits it leaves whole needs
// no fchmod.
mode_t creation_mask() {
  static mode_t mask = [] {
    mode_t found = umask(0);
    umask(found);
    return found;
  }();
  return mask;
}

// Opens what is already at path as a new plain file of its own: a plain
// file with one name is overwritten, anything else (a link, FIFO, device,
// a file with other names) is removed first; a folder stays, and the open
// fails on it. Returns the descriptor, or -1.
int open_over_what_is_there(const char* path, mode_t mode) {
  // O_NOFOLLOW and O_NONBLOCK: a link or FIFO put there after the look below
  // makes the open fail instead of leading elsewhere or waiting for ever.
  int flags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  struct stat found;
  if (lstat(path, &found) != 0) {
    flags |= O_EXCL;
  } else if (S_ISREG(found.st_mode) && found.st_nlink == 1) {
    flags |= O_TRUNC;
  } else if (!S_ISDIR(found.st_mode)) {
    if (unlink(path) != 0) return -1;
    flags |= O_EXCL;
  }
  // Open for reading too, which a member decoded into its mapped file needs;
  // a file there that may only be written is still overwritten.
  int descriptor = open(path, flags | O_RDWR, mode);
  if (descriptor < 0 && errno == EACCES) descriptor = open(path, flags | O_WRONLY, mode);
  struct stat opened;
  if (descriptor >= 0 && (fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1)) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}

// open with the kernel's own call: musl's open follows O_CLOEXEC with an
// fcntl for kernels older than 2.6.23, one more system call per member.
int open_directly(const char* path, int flags, mode_t mode) {
#if defined(__linux__) && defined(SYS_openat)
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
#else
  return open(path, flags, mode);
#endif
}

}  // namespace

OutputFile platform_create_output_file(const char* path, int unix_mode) {
  mode_t mode = unix_mode >= 0 ? static_cast<mode_t>(unix_mode & 0777) : 0666;
  // Most members make a new file: created exclusively, it is nothing but that.
  int descriptor = open_directly(path, O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_RDWR, mode);
  bool created = descriptor >= 0;
  if (!created && errno == EEXIST) descriptor = open_over_what_is_there(path, mode);
  // The creation mask may have narrowed the bits, never widened them; an
  // overwritten file takes the member's bits before any of its data.
  bool narrowed = !created || (mode & ~creation_mask()) != mode;
  if (descriptor >= 0 && unix_mode >= 0 && narrowed) (void)fchmod(descriptor, mode);
  return OutputFile{descriptor};
}

bool platform_write_output(OutputFile output, const unsigned char* data, std::size_t count) {
  int descriptor = static_cast<int>(output.handle);
  while (count > 0) {
    ssize_t written = write(descriptor, data, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool platform_empty_output(OutputFile output) {
  int descriptor = static_cast<int>(output.handle);
  return ftruncate(descriptor, 0) == 0 && lseek(descriptor, 0, SEEK_SET) == 0;
}

bool platform_close_output(OutputFile output) { return close(static_cast<int>(output.handle)) == 0; }

bool platform_disk_is_full() { return errno == ENOSPC || errno == EDQUOT; }

namespace {

// Maps count bytes from offset of descriptor; the mapping starts at the page
// that holds offset.
bool map_region(int descriptor, std::uint64_t offset, std::uint64_t count, int protection, int sharing,
                MappedRegion* region) {
  std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  std::uint64_t start = offset - offset % page;
  std::uint64_t length = count + (offset - start);
  if (count == 0 || length > SIZE_MAX / 2) return false;
  void* base = mmap(nullptr, static_cast<std::size_t>(length), protection, sharing, descriptor,
                    static_cast<off_t>(start));
  if (base == MAP_FAILED) return false;
  region->base = base;
  region->length = static_cast<std::size_t>(length);
  region->data = static_cast<unsigned char*>(base) + (offset - start);
  return true;
}

bool file_size_is_limited() {
  struct rlimit limit;
  return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
}

}  // namespace

bool platform_map_input(FILE* stream, std::uint64_t offset, std::uint64_t count, MappedRegion* region) {
  int descriptor = fileno(stream);
  struct stat found;
  if (descriptor < 0 || fstat(descriptor, &found) != 0 || !S_ISREG(found.st_mode) ||
      offset + count > static_cast<std::uint64_t>(found.st_size) || offset + count < offset) {
    return false;
  }
  if (!map_region(descriptor, offset, count, PROT_READ, MAP_PRIVATE, region)) return false;
  (void)madvise(region->base, region->length, MADV_SEQUENTIAL);
  return true;
}

// Writes count zero bytes at the file's start. A write reserves the disk
// space as posix_fallocate would (a full disk fails it here, never a store
// through the mapping), and the pages it leaves in the page cache are the
// mapping's: a page faulted in on a hole would first be cleared by the
// kernel, page by page, which costs more than these copies.
bool write_zeros(int descriptor, std::uint64_t count) {
  constexpr std::size_t k_zeros = 256 * 1024;
  void* zeros = calloc(1, k_zeros);
  if (zeros == nullptr) return false;
  bool written = true;
  for (std::uint64_t done = 0; done < count && written;) {
    std::size_t chunk = count - done < k_zeros ? static_cast<std::size_t>(count - done) : k_zeros;
    ssize_t put = pwrite(descriptor, zeros, chunk, static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    written = put > 0;
    if (written) done += static_cast<std::uint64_t>(put);
  }
  free(zeros);
  return written;
}

bool platform_map_output(OutputFile output, std::uint64_t count, MappedRegion* region) {
  if (file_size_is_limited()) return false;
  int descriptor = static_cast<int>(output.handle);
  if (count > static_cast<std::uint64_t>(INT64_MAX) || !write_zeros(descriptor, count) ||
      !map_region(descriptor, 0, count, PROT_READ | PROT_WRITE, MAP_SHARED, region)) {
    (void)ftruncate(descriptor, 0);
    return false;
  }
  return true;
}

void platform_unmap(MappedRegion* region) {
  if (region->base != nullptr) munmap(region->base, region->length);
  *region = MappedRegion{};
}

namespace {

sigjmp_buf g_mapping_fault;

void leave_faulted_mapping(int) { siglongjmp(g_mapping_fault, 1); }

}  // namespace

bool platform_run_on_mappings(bool (*work)(void*), void* context) {
  struct sigaction handler = {};
  handler.sa_handler = leave_faulted_mapping;
  sigemptyset(&handler.sa_mask);
  struct sigaction previous;
  sigaction(SIGBUS, &handler, &previous);
  // The signal mask is saved and put back: the handler leaves with SIGBUS blocked.
  bool done = sigsetjmp(g_mapping_fault, 1) == 0 && work(context);
  sigaction(SIGBUS, &previous, nullptr);
  return done;
}

bool platform_make_link(const char* target, const char* path) {
  struct stat found;
  if (lstat(path, &found) == 0 && !S_ISDIR(found.st_mode) && unlink(path) != 0) return false;
  return symlink(target, path) == 0;
}

const char* platform_drive_a_root() {
  static char root[4096];
  const char* folder = getenv("SFX_DRIVE_A");
  if (folder == nullptr || folder[0] == '\0') folder = "/media/floppy";
  snprintf(root, sizeof root, "%s/", folder);
  return root;
}

bool platform_is_plain_file(const char* path) {
  struct stat found;
  return stat(path, &found) == 0 && S_ISREG(found.st_mode);
}

FILE* platform_open_archive(const char* path) { return fopen(path, "rbe"); }

FILE* platform_reopen_archive(const char* path, FILE* stream) { return freopen(path, "rbe", stream); }

bool platform_executable_path(char* buffer, std::size_t size) {
  ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
  if (length <= 0 || static_cast<std::size_t>(length) >= size - 1) return false;
  buffer[length] = '\0';
  return true;
}

// glibc keeps its buffer when the target lies inside it, but still moves the
// descriptor with lseek each time: two system calls per member. A short step
// forward (from a member's data to the next local header) is taken by reading.
int platform_seek(FILE* stream, std::uint64_t offset) { return platform_seek_from(stream, ftello(stream), offset); }

int platform_seek_from(FILE* stream, std::int64_t position, std::uint64_t offset) {
  off_t target = static_cast<off_t>(offset);
  if (step_forward_by_reading(stream, position, target)) return 0;
  return fseeko(stream, target, SEEK_SET) == 0 ? 0 : -1;
}

std::int64_t platform_file_length(FILE* stream) {
  if (fseeko(stream, 0, SEEK_END) != 0) return -1;
  return static_cast<std::int64_t>(ftello(stream));
}

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

}  // namespace

namespace {

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

void platform_hide_input() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return;
  g_quiet_terminal = g_saved_terminal;
  g_quiet_terminal.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  handle_prompt_signals();
  // Marked first: a signal that comes right after the change finds it marked.
  g_echo_hidden = 1;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &g_quiet_terminal) != 0) platform_show_input();
}

// Also called from the signal handlers: tcsetattr and sigaction are safe there.
void platform_show_input() {
  if (g_echo_hidden) {
    g_echo_hidden = 0;
    set_terminal(&g_saved_terminal);
  }
  restore_signal_actions();
}

void platform_reserve_standard_streams() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // open takes the lowest free number: this one, as those below are open.
    // Without /dev/null (a bare chroot), the root folder holds the number
    // as well: reads from it fail and writes to it are refused.
    if (open("/dev/null", O_RDWR) < 0) (void)open("/", O_RDONLY);  // inherited, as standard streams are
  }
}

void platform_exit(int status) { exit(status); }

namespace {

int g_last_error = 0;
// The folder that was current before the temporary folder, and the
// temporary folder's full path.
int g_start_folder = -1;
char g_temp_folder[PATH_MAX];

bool remember_error() {
  g_last_error = errno;
  return false;
}

// True when the file system of folder runs programs.
bool allows_programs(const char* folder) {
  struct statvfs found;
  return statvfs(folder, &found) != 0 || (found.f_flag & ST_NOEXEC) == 0;
}

// Creates a private folder under parent and keeps its full path.
bool make_temp_folder_in(const char* parent) {
  char pattern[PATH_MAX];
  int length = snprintf(pattern, sizeof pattern, "%s/sfx-XXXXXX", parent);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof pattern) {
    g_last_error = ENAMETOOLONG;
    return false;
  }
  if (mkdtemp(pattern) == nullptr) return remember_error();  // mkdtemp makes it 0700
  if (realpath(pattern, g_temp_folder) == nullptr) {
    remember_error();
    rmdir(pattern);
    return false;
  }
  return true;
}

// Removes everything in the folder open as folder (a descriptor that this
// call closes), never following a link. True when all of it went.
bool empty_folder(int folder) {
  (void)fchmod(folder, 0700);  // a read-only folder from the archive would keep its files
  DIR* listing = fdopendir(folder);
  if (listing == nullptr) {
    close(folder);
    return remember_error();
  }
  bool emptied = true;
  while (struct dirent* child = readdir(listing)) {
    const char* name = child->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (unlinkat(folder, name, 0) == 0) continue;
    int inner = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0 || !empty_folder(inner) || unlinkat(folder, name, AT_REMOVEDIR) != 0) emptied = remember_error();
  }
  closedir(listing);
  return emptied;
}

// The program being run, and the ending signal that the stub received while
// it ran (0: none).
volatile sig_atomic_t g_program = 0;
volatile sig_atomic_t g_ending_signal = 0;

// The signals that end a run: passed on to the program, and the stub ends
// with them once the program has ended and the temporary folder is gone.
constexpr int k_ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int k_ending_signal_count = sizeof k_ending_signals / sizeof k_ending_signals[0];

void pass_on_to_program(int signal_number, siginfo_t* info, void*) {
  int saved_errno = errno;
  g_ending_signal = signal_number;
  // The terminal's Ctrl-C, Ctrl-\ and hang-up reach the whole foreground
  // process group: the program has had it already.
  bool from_terminal = info != nullptr && info->si_code == SI_KERNEL;
  if (!from_terminal && g_program > 0) kill(static_cast<pid_t>(g_program), signal_number);
  errno = saved_errno;
}

// Handles the ending signals but those ignored (nohup ignores SIGHUP, and
// the program inherits that), keeping the actions they had in saved.
void handle_ending_signals(struct sigaction* saved) {
  struct sigaction handler = {};
  handler.sa_sigaction = pass_on_to_program;
  handler.sa_flags = SA_SIGINFO;
  sigemptyset(&handler.sa_mask);
  for (int i = 0; i < k_ending_signal_count; ++i) {
    sigaction(k_ending_signals[i], nullptr, &saved[i]);
    if (saved[i].sa_handler != SIG_IGN) sigaction(k_ending_signals[i], &handler, nullptr);
  }
}

void restore_ending_signals(const struct sigaction* saved) {
  for (int i = 0; i < k_ending_signal_count; ++i) sigaction(k_ending_signals[i], &saved[i], nullptr);
}

// The ending signals, blocked from before the fork until the program's
// number is known, so that none is lost on the way.
void block_ending_signals(sigset_t* previous) {
  sigset_t ending;
  sigemptyset(&ending);
  for (int signal_number : k_ending_signals) sigaddset(&ending, signal_number);
  sigprocmask(SIG_BLOCK, &ending, previous);
}

// In the child: the signals as the stub found them, then the program.
[[noreturn]] void start_program(const char* program, char** arguments, const struct sigaction* saved,
                                const sigset_t* mask, int report) {
  restore_ending_signals(saved);
  sigprocmask(SIG_SETMASK, mask, nullptr);
  execv(program, arguments);
  int error = errno;
  (void)!write(report, &error, sizeof error);
  _exit(127);
}

}  // namespace

bool platform_current_folder(char* buffer, std::size_t size) { return getcwd(buffer, size) != nullptr; }

void platform_set_environment(const char* name, const char* value) { (void)setenv(name, value, 1); }

bool platform_enter_folder(const char* path) { return chdir(path) == 0 || remember_error(); }

bool platform_enter_private_temp_folder() {
  g_start_folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_start_folder < 0) return remember_error();
  const char* parent = getenv("TMPDIR");
  if (parent == nullptr || parent[0] == '\0') parent = "/tmp";
  bool made = allows_programs(parent) && make_temp_folder_in(parent);
  if (!made) made = make_temp_folder_in(".");
  if (made && chdir(g_temp_folder) == 0) return true;
  if (made) {
    remember_error();
    rmdir(g_temp_folder);
  }
  close(g_start_folder);
  g_start_folder = -1;
  return false;
}

bool platform_remove_private_temp_folder() {
  if (g_start_folder < 0) return true;
  bool removed = fchdir(g_start_folder) == 0 || remember_error();
  close(g_start_folder);
  g_start_folder = -1;
  int folder = open(g_temp_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0 || !empty_folder(folder) || rmdir(g_temp_folder) != 0) removed = remember_error();
  return removed;
}

namespace {

// Waits for the program; returns its status (128 + N when signal N ended
// it), or -1 with the error when its exec failed (reported through report).
int wait_for_program(pid_t child, int report) {
  int exec_error = 0;
  ssize_t got;
  while ((got = read(report, &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
  }
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    g_last_error = exec_error;
    return -1;
  }
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

}  // namespace

int platform_run_program(const char* program, const char* const* words, int count) {
  char** arguments = static_cast<char**>(malloc((static_cast<std::size_t>(count) + 2) * sizeof(char*)));
  // The child reports a failed exec through this pipe; a successful one
  // closes it empty.
  int report[2];
  if (arguments == nullptr || pipe2(report, O_CLOEXEC) != 0) {
    g_last_error = arguments == nullptr ? ENOMEM : errno;
    free(arguments);
    return -1;
  }
  arguments[0] = const_cast<char*>(program);
  for (int i = 0; i < count; ++i) arguments[i + 1] = const_cast<char*>(words[i]);
  arguments[count + 1] = nullptr;
  fflush(nullptr);
  struct sigaction saved[k_ending_signal_count];
  sigset_t mask;
  block_ending_signals(&mask);
  handle_ending_signals(saved);
  pid_t child = fork();
  if (child == 0) start_program(program, arguments, saved, &mask, report[1]);
  if (child < 0) remember_error();
  g_program = child;
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  close(report[1]);
  free(arguments);
  int status = child < 0 ? -1 : wait_for_program(child, report[0]);
  close(report[0]);
  g_program = 0;
  restore_ending_signals(saved);
  return status;
}

bool platform_runs_through_interpreter(const char*) { return false; }

bool platform_free_space(std::uint64_t* bytes) {
  struct statvfs found;
  if (statvfs(".", &found) != 0) return false;
  *bytes = static_cast<std::uint64_t>(found.f_bavail) * found.f_frsize;
  return true;
}

bool platform_cpu_has_crc32_instructions() {
#if defined(__aarch64__) && defined(HWCAP_CRC32)
  static const bool has = (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
  return has;
#else
  return false;
#endif
}

int platform_ending_signal() { return g_ending_signal; }

void platform_end_by_signal(int signal_number) {
  fflush(nullptr);
  signal(signal_number, SIG_DFL);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, signal_number);
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  raise(signal_number);
  exit(128 + signal_number);  // reached only where the signal does not end the process
}

const char* platform_last_error_text() { return strerror(g_last_error); }
