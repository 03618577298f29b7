#pragma once
// What the embedded-signature check found about one file, held by its caller
// and handed to the publisher check of the same file, which then takes the
// signer from it instead of hashing the file again.
//
// A file is recognised by its identity: volume serial number, file index,
// size and last write time, read from a handle that the check holds without
// write sharing while it evaluates. A different file reached by the same path
// (a re-pointed junction, a replaced folder, a copy put in its place) has
// another identity and is evaluated afresh. What the identity cannot tell is
// a write to the same file that also restores its size and time; a caller
// that passes an evaluation on therefore holds the file without write sharing
// from the first check to the second, as the container launch does.

#include <windows.h>

#include "unique_handle.h"

namespace qeb::security {

struct FileIdentity {
    DWORD volumeSerial = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    FILETIME lastWrite = {};
};

// Empty until an embedded-signature check passes. The signer comes with the
// store of the signature's certificates, which its chain is built from, and
// with the time the signature is judged at: a verified timestamp's.
struct SignatureEvaluation {
    FileIdentity file;
    UniqueCertificate signer;
    UniqueCertStore certificates;
    bool bTimestamped = false;
    FILETIME signedAt = {};
};

}  // namespace qeb::security
