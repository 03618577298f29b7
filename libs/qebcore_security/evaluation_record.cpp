#include "evaluation_record.h"

namespace qeb::security {

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

bool SameFile(const FileIdentity& a, const FileIdentity& b) noexcept {
    return a.volumeSerial == b.volumeSerial && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow &&
           a.sizeHigh == b.sizeHigh && a.sizeLow == b.sizeLow && ::CompareFileTime(&a.lastWrite, &b.lastWrite) == 0;
}

void RecordEvaluation(SignatureEvaluation& evaluation, const FileIdentity& identity, PCCERT_CONTEXT signer,
                      const FILETIME* signedAt) noexcept {
    evaluation.file = identity;
    evaluation.signer.reset(signer != nullptr ? ::CertDuplicateCertificateContext(signer) : nullptr);
    evaluation.certificates.reset(
        signer != nullptr && signer->hCertStore != nullptr ? ::CertDuplicateStore(signer->hCertStore) : nullptr);
    evaluation.bTimestamped = signedAt != nullptr;
    evaluation.signedAt = signedAt != nullptr ? *signedAt : FILETIME{};
}

}  // namespace qeb::security
