// platform_win32_internal.h - what the Windows platform files share among themselves.
#pragma once

#include <windows.h>

#include "platform/platform.h"

// Keeps GetLastError() as the reason that platform_last_error_text words;
// returns false, so that a failing step can end with return remember_error().
bool remember_error();
// The same with an error the caller names (a word that is no UTF-8).
bool remember_error_code(DWORD error);

// text in code_page as UTF-16, in memory that the caller frees; nullptr when
// it cannot be converted (invalid UTF-8) or no memory is left.
wchar_t* wide_of(const char* text, UINT code_page);

// Inside the stub every path and word is UTF-8; Windows is called in UTF-16.
wchar_t* to_wide(const char* text);

// UTF-16 as UTF-8, in memory that the caller frees (a lone surrogate, which
// only a name made outside the usual tools holds, becomes U+FFFD); nullptr
// when no memory is left.
char* utf8_of(const wchar_t* wide);

// A path as Windows takes it at any length: a relative path shorter than a
// folder may be (MAX_PATH less 12, for the 8.3 name) stays as it is; a
// longer one becomes its full path behind \\?\ (\\?\UNC\ for a share),
// which lifts the limit. The caller frees it; nullptr when it cannot be
// converted.
wchar_t* wide_path(const char* path);

inline HANDLE handle_of(OutputFile output) { return reinterpret_cast<HANDLE>(output.handle); }
