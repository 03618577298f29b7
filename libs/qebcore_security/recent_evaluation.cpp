#include "recent_evaluation.h"

#include <new>
#include <utility>

namespace qeb::security {

namespace {

// One entry, under a slim lock: checks run on pool threads, never
// terminated while they hold it.
struct Remembered {
    SRWLOCK lock = SRWLOCK_INIT;
    FileIdentity identity;
    RememberedSigner signer;
};

// Never destroyed: a check that a stop left running may still be inside it
// while the process runs its exit-time destructors.
Remembered& Entry() noexcept {
    alignas(Remembered) static unsigned char s_storage[sizeof(Remembered)];
    static Remembered* const s_entry = ::new (static_cast<void*>(s_storage)) Remembered();
    return *s_entry;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) noexcept {
    return a.volumeSerial == b.volumeSerial && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow &&
           a.sizeHigh == b.sizeHigh && a.sizeLow == b.sizeLow && ::CompareFileTime(&a.lastWrite, &b.lastWrite) == 0;
}

}  // namespace

bool ReadFileIdentity(HANDLE hFile, FileIdentity& identity) noexcept {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(hFile, &info)) return false;
    identity.volumeSerial = info.dwVolumeSerialNumber;
    identity.indexHigh = info.nFileIndexHigh;
    identity.indexLow = info.nFileIndexLow;
    identity.sizeHigh = info.nFileSizeHigh;
    identity.sizeLow = info.nFileSizeLow;
    identity.lastWrite = info.ftLastWriteTime;
    return true;
}

void RememberEvaluation(const FileIdentity& identity, PCCERT_CONTEXT signer, const FILETIME* signedAt) noexcept {
    RememberedSigner fresh;
    if (signer != nullptr) {
        fresh.signer.reset(::CertDuplicateCertificateContext(signer));
        if (signer->hCertStore != nullptr) fresh.certificates.reset(::CertDuplicateStore(signer->hCertStore));
    }
    if (signedAt != nullptr) {
        fresh.bTimestamped = true;
        fresh.signedAt = *signedAt;
    }
    Remembered& entry = Entry();
    ::AcquireSRWLockExclusive(&entry.lock);
    entry.identity = identity;
    std::swap(entry.signer, fresh);
    ::ReleaseSRWLockExclusive(&entry.lock);
    // The one replaced is released outside the lock.
}

RememberedSigner TakeEvaluation(const FileIdentity& identity) noexcept {
    RememberedSigner taken;
    Remembered& entry = Entry();
    ::AcquireSRWLockExclusive(&entry.lock);
    if (entry.signer.signer && SameFile(entry.identity, identity)) std::swap(taken, entry.signer);
    ::ReleaseSRWLockExclusive(&entry.lock);
    return taken;
}

}  // namespace qeb::security
