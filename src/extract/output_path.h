// output_path.h - turn a member's name into a local path and create its folders.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Whether make_output_path creates the folders along the path or only
// joins the path (to show it).
enum class FolderCreation { make, leave };

// Splits name (which it cuts in place) at '/' (and on Windows '\\'), drops
// empty components, joins the rest with the platform's separator and
// creates every directory along the way, outermost first; the last
// component names the file and is not created. Releases name and returns the
// new text, or returns name itself when it holds no component. When folders
// is given it tells whether every folder along the path is ready; creation
// stops at the first folder that failed or that is a link leading outside
// the extraction folder, so nothing is ever made through such a link.
char* make_output_path(char* name, FolderResult* folders = nullptr,
                       FolderCreation creation = FolderCreation::make);

// True when a symbolic link at link_path (a local path below the current
// directory) with this target stays inside the current directory: a relative
// target whose ".." components, taken lexically from the link's folder, never
// climb above it.
bool link_stays_inside(const char* link_path, const char* target);

// True when a member name would be written outside the current directory:
// a ".." component, or a first component ending in ':' (a drive); on Windows
// also '\' as a separator, any ':', and components of dots and blanks that
// Windows reads as "..". Leading separators are no part of the path: "/x",
// "\\x" and "/\\x" all name x in the current directory.
bool is_outside_current_directory(const char* name);

// True when a member's name (of length bytes) ends in a separator: it names
// a folder.
bool is_folder_name(const char* name, std::size_t length);

// True when a component of name (split at '/' and '\\') is a device on
// Windows: CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$ or CONOUT$, with or
// without an extension and trailing dots and blanks. Windows opens the
// device for such a name, wherever the folder.
bool names_a_windows_device(const char* name);

// Remembers path as a folder made (or there already), so that the members
// that go into it make it no more.
void remember_made_folder(const char* path);

// Forgets which folders this run has created, for callers that extract more
// than one archive or change the current directory between runs.
void forget_created_directories();
