#pragma once
// Filling and matching a SignatureEvaluation.

#include <windows.h>
#include <wincrypt.h>

#include "signature_evaluation.h"

namespace qeb::security {

// The identity of an open file; false when the system cannot tell it.
bool ReadFileIdentity(HANDLE hFile, FileIdentity& identity) noexcept;

bool SameFile(const FileIdentity& a, const FileIdentity& b) noexcept;

// Records the signer of a file whose embedded signature just verified, and
// the verified signing time when `signedAt` is given.
void RecordEvaluation(SignatureEvaluation& evaluation, const FileIdentity& identity, PCCERT_CONTEXT signer,
                      const FILETIME* signedAt) noexcept;

}  // namespace qeb::security
