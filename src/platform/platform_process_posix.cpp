// platform_process_posix.cpp - the program an installer runs, the signals that end a run, the process end.
#include "platform/platform.h"
#include "platform/platform_posix_internal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

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

void platform_set_environment(const char* name, const char* value) { (void)setenv(name, value, 1); }

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
    remember_error_code(exec_error);
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
    remember_error_code(arguments == nullptr ? ENOMEM : errno);
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

void platform_exit(int status) { exit(status); }
