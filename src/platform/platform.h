// platform.h - the few operating-system services the stub needs, each a _posix/_win32 pair of files.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
// Local paths are joined with the backslash; member names may also use it to
// climb out of the extraction folder, so it separates components there too.
constexpr char k_path_separator = '\\';
constexpr bool k_windows_names = true;
#else
constexpr char k_path_separator = '/';
constexpr bool k_windows_names = false;
#endif

// The command line as one text when the platform hands it over unsplit
// (Windows: in UTF-8), or nullptr when the process receives its words
// already split.
const char* platform_command_line();

// True when standard output is a console (Windows: FILE_TYPE_CHAR, POSIX: a
// terminal). Tests may force the answer with platform_fake_stdout_is_console.
bool platform_stdout_is_console();
void platform_fake_stdout_is_console(bool is_console);

// Prints the exit-pause text and waits for one byte from the console itself,
// whatever standard input is redirected to; reports a failed read. Does
// nothing in a process that runs in the background of its terminal (POSIX
// job control), which the read would stop.
void platform_exit_pause();

// Paths and words given to the functions here, and those they give back
// (the command line, the executable's path), are UTF-8 on Windows, which
// names its files in UTF-16, and bytes on POSIX, which names them byte for
// byte. Text printed on a Windows console is UTF-8, or where it is no
// well-formed UTF-8, a member name stored in the DOS code page.

// A member name stored in the system's DOS code page (the zip format's own
// for names not marked UTF-8) as UTF-8, in memory that the caller frees;
// nullptr when no memory is left. POSIX takes names as bytes: a copy.
char* platform_utf8_of_dos_name(const char* name);

// What a folder along an output path turned out to be.
enum class FolderResult {
  ready,    // a folder inside the extraction folder (made now, or there already)
  outside,  // a link that leads out of the extraction folder: nothing may go through it
  failed,   // no folder could be made there (a file in the way, a name too long, no permission)
};

// Creates one folder unless a folder of that name is there already, and
// tells what path now names. The extraction folder is the current directory.
FolderResult platform_make_directory(const char* path);

// A member's output file, written past stdio (a stream per member costs
// system calls of its own, and the stub buffers what it writes itself): a
// descriptor on POSIX, a handle on Windows.
struct OutputFile {
  std::intptr_t handle = -1;  // -1: not open
};

// Opens path for member data, created with the permission bits it ends with
// (unix_mode < 0: the default ones), so the file never has wider bits than
// the member's. A new file costs one system call (two where the creation
// mask narrowed the bits). A link, FIFO, device or file with other names at
// path is removed and replaced, never written through or waited on; a plain
// file is overwritten, on Windows a hidden or system one too. Returns a file
// whose handle is -1 when it cannot be opened.
OutputFile platform_create_output_file(const char* path, int unix_mode);

// Writes count bytes at the file's position; false on any short write.
bool platform_write_output(OutputFile output, const unsigned char* data, std::size_t count);
// Empties output and puts it at its start (a member decoded in one piece
// that must be redone from its start). False when it cannot be done.
bool platform_empty_output(OutputFile output);
// Closes output; false when the system reports that a write it had delayed
// failed.
bool platform_close_output(OutputFile output);

// A part of a file mapped into memory; data is its first byte.
struct MappedRegion {
  void* base = nullptr;
  std::size_t length = 0;
  unsigned char* data = nullptr;
};
// Maps count bytes of the stream's file from offset, to be read. False where
// the platform maps no files, or the file holds fewer bytes (a mapping past
// the end would fault when read).
bool platform_map_input(FILE* stream, std::uint64_t offset, std::uint64_t count, MappedRegion* region);
// Gives the empty output file its final size of count bytes, reserved on the
// disk so that no write through the mapping can fail for want of room, and
// maps it to be written. False (with the file left empty) where the platform
// maps no files, the disk lacks the room or a file size limit is set: a
// member larger than the limit must fail as its writes reach it.
bool platform_map_output(OutputFile output, std::uint64_t count, MappedRegion* region);
void platform_unmap(MappedRegion* region);
// Runs work(context) on mapped files: a file that shrinks meanwhile, so that
// a page of its mapping no longer exists (SIGBUS on POSIX), makes the call
// return false instead of ending the process. Returns what work returned.
bool platform_run_on_mappings(bool (*work)(void*), void* context);

// Whether members stored as symbolic links are made as links here.
#ifdef _WIN32
constexpr bool k_symbolic_links = false;
#else
constexpr bool k_symbolic_links = true;
#endif

// Makes path a symbolic link to target, replacing a link or file there.
// Returns false when the link cannot be made.
bool platform_make_link(const char* target, const char* path);

// Gives a folder its DOS modification time and, on POSIX, the permission
// bits of a Unix mode (mode < 0: leave them), unless path no longer names a
// plain folder. Failures are ignored.
void platform_set_folder_times(const char* path, std::uint32_t dos_time_and_date, int unix_mode);

// The root of drive A, where the segments of a split archive are read, with
// its trailing separator ("A:\\" on Windows).
const char* platform_drive_a_root();

// True when path names a plain file (a link to one included): what a disk's
// segment must be. A folder or FIFO there is no segment, and a FIFO would
// block the open.
bool platform_is_plain_file(const char* path);

// Opens the archive (the self-extractor or a segment) for binary reading,
// or re-opens stream on it (stream is closed, as by freopen, when that
// fails). No program the stub starts inherits the file: it would keep the
// self-extractor open (on Windows, undeletable) for as long as it runs.
// Returns nullptr when the file cannot be opened.
FILE* platform_open_archive(const char* path);
FILE* platform_reopen_archive(const char* path, FILE* stream);

// Copies the path of the running executable into buffer (UTF-8 on
// Windows); false when unknown or longer than size - 1.
bool platform_executable_path(char* buffer, std::size_t size);

// Positions stream at an absolute offset that may exceed 2 GiB even where
// long is 32 bits. Returns 0, or -1 on failure.
int platform_seek(FILE* stream, std::uint64_t offset);

// The same from position, where the caller knows the stream stands: musl's
// and msvcrt's ftell ask the system for the descriptor's offset every time.
int platform_seek_from(FILE* stream, std::int64_t position, std::uint64_t offset);

// The length of the file behind stream (the stream is left at its end), or
// -1 when it cannot be told.
std::int64_t platform_file_length(FILE* stream);

// The DOS attributes (the low byte of a member's external attributes) that
// Windows gives an extracted file; POSIX keeps its modes.
constexpr std::uint32_t k_dos_read_only = 0x01;
constexpr std::uint32_t k_dos_hidden = 0x02;
constexpr std::uint32_t k_dos_system = 0x04;

// Gives an output file its DOS modification time (local time) and, on
// Windows, the read-only, hidden and system bits of dos_attributes (0:
// none). Failures are ignored.
void platform_set_file_times(OutputFile file, std::uint32_t dos_time_and_date, std::uint32_t dos_attributes);

// Turns the terminal's echo off while a password is typed when standard input
// is a console; the restore also runs when the user interrupts with Ctrl-C.
// On POSIX the signals that end the process at the prompt (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT) restore the echo first; Ctrl-Z restores it while the
// process is stopped and SIGCONT hides it again.
void platform_hide_input();
void platform_show_input();

// Gives each of the standard descriptors 0-2 that was closed at start a
// harmless file (/dev/null), so that neither the archive nor an output file
// takes its number: prompts would read the archive, messages would land in
// an extracted file. Called before anything is opened; nothing to do on
// Windows, whose C library keeps the three numbers reserved.
void platform_reserve_standard_streams();

// True when the CPU has the arm64 CRC32 instructions (optional in the first
// arm64 CPUs), as the system reports it; false on other CPUs.
bool platform_cpu_has_crc32_instructions();

// Buffer sizes: larger buffers cut the system calls per member. The output
// buffer gathers a streamed member's data for its output file.
constexpr std::size_t k_archive_stream_buffer = 64 * 1024;
constexpr std::size_t k_output_stream_buffer = 64 * 1024;

// A stdio buffer of size bytes for one stream at a time, allocated on first
// use (heap rather than static: mingw would store a static one in the file).
// setvbuf with a null buffer is no use: glibc ignores the size given with it.
// Returns nullptr when no memory can be had; the stream then keeps its own.
char* platform_stream_buffer(int which, std::size_t size);
constexpr int k_archive_buffer_slot = 0;
constexpr int k_output_buffer_slot = 1;
constexpr int k_console_buffer_slot = 2;

// vfprintf through the C library's own formatter (on Windows msvcrt's, which
// mingw's C++ headers would otherwise replace by a 20 KiB one of their own).
int platform_vfprintf(FILE* stream, const char* format, va_list arguments);

// A second thread that runs work(context) beside this one: it decodes
// members ahead while this thread makes their files. One at a time; it calls
// nothing of the system's but platform_read_at, and no signal reaches it.
// False when it cannot be started: the work is then done in turn.
// platform_join_worker waits for it to end. Windows runs none (see
// platform_thread_win32.cpp).
#ifdef _WIN32
constexpr bool k_second_thread = false;
#else
constexpr bool k_second_thread = true;
#endif
bool platform_start_worker(void (*work)(void*), void* context);
void platform_join_worker();
// The lock of what the two threads share, and its signal: wait (the lock
// held) sleeps until the other thread wakes it.
void platform_worker_lock();
void platform_worker_unlock();
void platform_worker_wait();
void platform_worker_wake();
// Reads up to size bytes at offset of the file behind stream without moving
// where the stream stands; returns how many it read (fewer at the file's end).
std::size_t platform_read_at(FILE* stream, std::uint64_t offset, void* buffer, std::size_t size);

// Copies the full path of the current folder into buffer; false when
// unknown or longer than size - 1.
bool platform_current_folder(char* buffer, std::size_t size);

// Sets an environment variable for the programs the stub starts. Failures
// are ignored.
void platform_set_environment(const char* name, const char* value);

// Makes path (relative to the current folder) the current folder. Returns
// false when it cannot.
bool platform_enter_folder(const char* path);

// Creates a fresh folder that only its owner may enter (0700) in the
// system's temporary folder (%TEMP% on Windows, $TMPDIR or /tmp on POSIX)
// and makes it the current folder. On POSIX, when the temporary folder lies
// on a file system that runs no programs (mounted noexec) or allows no new
// folder, it is made under the current folder instead. Returns false when
// no folder could be made.
bool platform_enter_private_temp_folder();

// Goes back to the folder that was current before
// platform_enter_private_temp_folder and removes the temporary folder with
// everything in it; links inside are removed, never followed. Returns false
// when something could not be removed.
bool platform_remove_private_temp_folder();

// Runs program (a path relative to the current folder) with the count words
// as its arguments after its own name, directly, with no shell in between,
// and waits for it to end. Returns the program's exit status (on POSIX
// 128 + N when signal N ended it), or -1 when it could not be started.
int platform_run_program(const char* program, const char* const* words, int count);

// True when the system starts program through its command interpreter,
// which reads the command line again by rules of its own (Windows: a .bat or
// .cmd file, run by cmd.exe /c). platform_run_program then quotes every word
// so that the interpreter reads it back as it is; the caller must not pass a
// word that no quoting keeps whole: one that holds a double quote, a percent
// sign (a variable is expanded even in quotes) or a line end.
bool platform_runs_through_interpreter(const char* program);

// The signal (SIGINT, SIGTERM, SIGHUP or SIGQUIT) that the stub received
// while platform_run_program ran, or 0. The program had it too: it was
// passed on, unless the terminal sent it to both. Windows has none: closing
// the console while the program runs ends the stub from its console handler,
// which waits for the program and removes the temporary folder first.
int platform_ending_signal();
// Ends the process by signal_number, as it would have ended at once.
void platform_end_by_signal(int signal_number);

// The bytes free for this user on the file system of the current folder;
// false when the system cannot tell.
bool platform_free_space(std::uint64_t* bytes);

// True when the last failed write or file creation failed for want of room
// on the disk (or of the user's quota): every later one would fail too.
bool platform_disk_is_full();

// Why the last of the calls above failed, as the system words it.
const char* platform_last_error_text();

// Ends the process with status after flushing and closing every stream.
[[noreturn]] void platform_exit(int status);
