#pragma once
// The last file whose signature evaluation passed, kept so that a second
// check of the same file right after need not hash it again.
//
// A file is recognised by its identity: volume serial number, file index,
// size and last write time, read from a handle that the check holds without
// write sharing while it evaluates. A different file reached by the same path
// (a re-pointed junction, a replaced folder, a copy put in its place) has
// another identity and is evaluated afresh. What the identity cannot tell is
// a write to the same file that also restores its size and time; a caller
// that shares evaluations therefore holds the file without write sharing from
// the first check to the second, as the container launch does.

#include <windows.h>
#include <wincrypt.h>

#include <memory>

#include "crypt_handles.h"

namespace qeb::security {

struct FileIdentity {
    DWORD volumeSerial = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    FILETIME lastWrite = {};
};

// The identity of an open file; false when the system cannot tell it.
bool ReadFileIdentity(HANDLE hFile, FileIdentity& identity) noexcept;

// A signer and the store of the signature's certificates, which its chain is
// built from; the store would otherwise go with the verification's state.
// The time the signature is judged at goes with it: a verified timestamp's.
struct RememberedSigner {
    UniqueCertificate signer;
    UniqueCertStore certificates;
    bool bTimestamped = false;
    FILETIME signedAt = {};
};

// Keeps the signer of a file whose embedded signature just verified, and
// the verified signing time when `signedAt` is given.
void RememberEvaluation(const FileIdentity& identity, PCCERT_CONTEXT signer, const FILETIME* signedAt) noexcept;

// The signer remembered for exactly this file, taken out so that it serves
// one later check only; an empty signer for any other file.
RememberedSigner TakeEvaluation(const FileIdentity& identity) noexcept;

}  // namespace qeb::security
