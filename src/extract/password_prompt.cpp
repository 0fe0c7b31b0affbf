// password_prompt.cpp - ask the user for a member's password on the console.
#include "extract/password_prompt.h"

#include <cstdio>
#include <cstring>

#include "front/messages.h"
#include "platform/platform.h"

char password_line[k_password_line_size];

namespace {

// The size that fgets is given: at most 254 characters and the terminator.
constexpr int k_password_read_size = 255;

// Reads like fgets(buffer, size, stdin) on a text-mode stream: a carriage
// return right before a line feed is dropped, and when input ends before any
// character the buffer is left as it was.
void read_text_line(char* buffer, int size) {
  int stored = 0;
  while (stored < size - 1) {
    int c = getc(stdin);
    if (c == EOF) break;
    if (c == '\r') {
      int after = getc(stdin);
      if (after == '\n') {
        c = '\n';
      } else if (after != EOF) {
        ungetc(after, stdin);
      }
    }
    buffer[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (stored > 0) buffer[stored] = '\0';
}

}  // namespace

const char* ask_password(const char* name) {
  // Echo goes off before the prompt shows: whoever answers the prompt at
  // once must not see the password echoed.
  platform_hide_input();
  print_output("Please enter the password for %s: ", name);
  fflush(stdout);
  read_text_line(password_line, k_password_read_size);
  platform_show_input();
  std::size_t length = strlen(password_line);
  if (length > 0 && password_line[length - 1] == '\n') password_line[length - 1] = '\0';
  return password_line;
}

namespace {

bool g_one_password = false;
// The first password that passed a member's check, in one-password mode.
char g_kept_password[k_password_line_size];
bool g_password_kept = false;
int g_refused_members = 0;

}  // namespace

void set_one_password(bool enabled) { g_one_password = enabled; }

int members_refused_for_password() { return g_refused_members; }

PasswordCheck find_member_password(const char* name, PasswordChecker check, void* context) {
  if (g_one_password && g_password_kept) {
    PasswordCheck kept = check(g_kept_password, context);
    if (kept != PasswordCheck::failed) return kept;
  }
  const char* password = ask_password(name);
  PasswordCheck result = check(password, context);
  if (result == PasswordCheck::passed && g_one_password && !g_password_kept) {
    memcpy(g_kept_password, password_line, sizeof g_kept_password);
    g_password_kept = true;
  }
  if (result == PasswordCheck::failed) ++g_refused_members;
  return result;
}

void wipe_secret(void* memory, std::size_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(memory);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

void forget_passwords() {
  wipe_secret(password_line, sizeof password_line);
  wipe_secret(g_kept_password, sizeof g_kept_password);
  g_password_kept = false;
  g_one_password = false;
  g_refused_members = 0;
}
