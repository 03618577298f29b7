#pragma once
// qebcore_security: code-signing checks made before every container launch.
// Both are safe from any thread and return false on any failure. Each reads
// the file through `hHeldFile` when the caller holds it open for reading (and
// then opens nothing by the path, which only names the file), or opens and
// holds it itself when that is null.

#include <windows.h>

#include "signature_evaluation.h"

// True when the file carries an intact Authenticode signature whose signer
// chains to the product's pinned root with the code-signing usage, at the
// time its verified RFC 3161 timestamp proves, or now when it has none.
// The path is in the calling thread's ANSI code page (CP_THREAD_ACP), the
// one the product widens all its paths with.
bool VerifyEmbeddedSignature(const char* path, HANDLE hHeldFile = nullptr) noexcept;
// The same, filling `evaluation` when it passes, for the publisher check of
// the same file to take (signature_evaluation.h).
bool VerifyEmbeddedSignature(const char* path, HANDLE hHeldFile,
                             qeb::security::SignatureEvaluation& evaluation) noexcept;

// True when the file's verified signature was made by the product's publisher.
bool VerifyVelantDigitalSignature(const wchar_t* path, HANDLE hHeldFile = nullptr) noexcept;
// The same, taking the signer from `embedded` when it is an evaluation of the
// very same file (same volume, file index, size and last write time) instead
// of hashing the file again.
bool VerifyVelantDigitalSignature(const wchar_t* path, HANDLE hHeldFile,
                                  const qeb::security::SignatureEvaluation& embedded) noexcept;

// Loads and sets up what a check needs (trust providers, crypto modules, the
// chain engine) by checking the running program's own file, so that the first
// container launch does not pay for it. The verdict is not used.
void WarmUpSignatureChecks() noexcept;
