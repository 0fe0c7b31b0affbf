// platform_posix_internal.h - what the POSIX platform files share among themselves.
#pragma once

// Keeps errno as the reason that platform_last_error_text words; returns
// false, so that a failing step can end with return remember_error().
bool remember_error();
// The same with an errno value the caller has (a child's exec failure, a
// path too long for the buffer).
bool remember_error_code(int error);
