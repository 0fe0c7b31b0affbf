// platform_console_posix.cpp - the terminal: printing, the console check, the exit pause, the password echo.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
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
