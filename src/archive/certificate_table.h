// certificate_table.h - where the signature of a signed Windows program begins.
#pragma once

#include <cstdint>
#include <cstdio>

// The file offset of the certificate table of the Windows (PE) program
// behind stream, where its Authenticode signature lies (the security
// directory, data directory 4), or 0 when the file is no PE program or is
// not signed. The signature's hash skips that table, so bytes put into it
// after signing leave the signature good: none of them may be read as the
// archive. Leaves the stream's position undefined.
std::uint64_t certificate_table_offset(FILE* stream);
