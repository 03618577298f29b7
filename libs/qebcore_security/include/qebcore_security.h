#pragma once
// qebcore_security: code-signing checks made before every container launch.
// Both are safe from any thread and return false on any failure.

// True when the file carries an intact Authenticode signature whose signer
// chains to the product's pinned root with the code-signing usage.
// The path is in the ANSI code page.
bool VerifyEmbeddedSignature(const char* path) noexcept;

// True when the file's verified signature was made by the product's publisher.
bool VerifyVelantDigitalSignature(const wchar_t* path) noexcept;
