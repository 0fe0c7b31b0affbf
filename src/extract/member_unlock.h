// member_unlock.h - a member's password, for the traditional cipher and for AES, and the AES authentication code.
#pragma once

#include <cstdio>

#include "archive/aes_extra.h"
#include "extract/member_data.h"

// Asks for the password (or tries the kept one) and checks it against the
// encryption header, or an AES member's (aes not nullptr) verifier. Returns
// done, password_refused, refused or stop.
MemberOutcome unlock_member(ZipEntry* entry, const char* shown_path, const AesExtra* aes, FILE* archive);

// Reads what is left of an AES member's data and its authentication code,
// and compares the code. Returns stop when the archive ends inside them,
// failed when the data was altered, the outcome otherwise.
MemberOutcome authenticate_member(MemberData* member, MemberOutcome outcome);
