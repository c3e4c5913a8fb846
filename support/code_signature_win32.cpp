// Authenticode checks of program files through WinTrust and the certificate library, both
// delay-loaded (cmake/windows.cmake). Every function used here is exported by Windows XP SP3.
#include <windows.h>
// After windows.h, which they build on.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/platform.h"

namespace platform {
namespace {

// Chain errors that say only that revocation could not be judged from what the machine has
// (no revocation list or answer cached): nothing is fetched, so that the run never waits for a
// server, and the chain counts as sound. A certificate known to be revoked still fails.
constexpr DWORD kRevocationUnknown =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

bool isForCodeSigning(PCCERT_CONTEXT certificate) {
    // Only the certificate's own extension counts: one without any usage is valid for every
    // purpose by the rules of X.509, but no code-signing certificate of a real vendor lacks it.
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr,
                                 &size) ||
        size < sizeof(CERT_ENHKEY_USAGE)) {
        return false;
    }
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
        return false;
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) {
            return true;
        }
    }
    return false;
}

// The organisations and common names of the certificate's subject. Nothing when the subject
// cannot be decoded or gives one of them as anything but text.
std::optional<CodeSigner> subjectNames(PCCERT_CONTEXT certificate) {
    CERT_NAME_INFO* name = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_UNICODE_NAME,
                             certificate->pCertInfo->Subject.pbData,
                             certificate->pCertInfo->Subject.cbData, CRYPT_DECODE_ALLOC_FLAG,
                             nullptr, &name, &size)) {
        return std::nullopt;
    }
    CodeSigner signer;
    bool readable = true;
    for (DWORD r = 0; r < name->cRDN; ++r) {
        const CERT_RDN& relative = name->rgRDN[r];
        for (DWORD a = 0; a < relative.cRDNAttr; ++a) {
            const CERT_RDN_ATTR& attribute = relative.rgRDNAttr[a];
            std::vector<WideString>* values = nullptr;
            if (std::strcmp(attribute.pszObjId, szOID_ORGANIZATION_NAME) == 0) {
                values = &signer.organizations;
            } else if (std::strcmp(attribute.pszObjId, szOID_COMMON_NAME) == 0) {
                values = &signer.commonNames;
            } else {
                continue;
            }
            // X509_UNICODE_NAME gives every string type as UTF-16; the others stay encoded.
            if (attribute.dwValueType <= CERT_RDN_OCTET_STRING) {
                readable = false;
                continue;
            }
            WideString value(reinterpret_cast<const char16_t*>(attribute.Value.pbData),
                             attribute.Value.cbData / sizeof(char16_t));
            // Wine counts the terminating null in the length. Only trailing ones go: a name
            // with a null inside stays different from the name before it.
            while (!value.empty() && value.back() == u'\0') {
                value.pop_back();
            }
            values->push_back(value);
        }
    }
    LocalFree(name);
    if (!readable) {
        return std::nullopt;
    }
    return signer;
}

// The signer of a verification that WinVerifyTrust has accepted, judged by its own chain: under
// Wine WinVerifyTrust accepts a well-formed signature whatever its root, and only the chain's
// error status tells a trusted root from another; Windows must agree with both.
std::optional<CodeSigner> trustedSigner(HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    if (provider == nullptr) {
        return std::nullopt;
    }
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr ||
        !WVT_IS_CBSTRUCT_GT_MEMBEROFFSET(CRYPT_PROVIDER_SGNR, signer->cbStruct, pChainContext) ||
        signer->pChainContext == nullptr) {
        return std::nullopt;
    }
    const CERT_CHAIN_CONTEXT* chain = signer->pChainContext;
    if ((chain->TrustStatus.dwErrorStatus & ~kRevocationUnknown) != 0 || chain->cChain == 0 ||
        chain->rgpChain[0]->cElement == 0) {
        return std::nullopt;
    }
    const PCCERT_CONTEXT certificate = chain->rgpChain[0]->rgpElement[0]->pCertContext;
    if (certificate == nullptr || !isForCodeSigning(certificate)) {
        return std::nullopt;
    }
    return subjectNames(certificate);
}

std::optional<CodeSigner> verifiedSigner(const WideString& path, HANDLE file) {
    WINTRUST_FILE_INFO fileInfo;
    ZeroMemory(&fileInfo, sizeof fileInfo);
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = reinterpret_cast<const wchar_t*>(path.c_str());
    fileInfo.hFile = file;

    WINTRUST_DATA data;
    ZeroMemory(&data, sizeof data);
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    if (isNt6OrLater()) {
        // Revocation of every certificate but the root, from the machine's caches only.
        data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    } else {
        // Windows XP knows no cache-only retrieval: any revocation check there may wait for a
        // server, so none is asked for.
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    }
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // INVALID_HANDLE_VALUE as the window: no UI, whatever the machine's policy says.
    const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
    const LONG status = WinVerifyTrust(noWindow, &action, &data);
    std::optional<CodeSigner> signer;
    if (status == ERROR_SUCCESS || status == CERT_E_REVOCATION_FAILURE) {
        signer = trustedSigner(data.hWVTStateData);
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(noWindow, &action, &data);
    return signer;
}

// An unsigned image has an empty security directory in its headers, which are mapped with the
// image: then WinTrust, whose first call in a process costs seconds on a slow machine, is not
// asked. Headers that cannot be read leave the question to WinTrust.
bool imageCarriesSignature() {
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    if (base == nullptr) {
        return true;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) {
        return true;
    }
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (headers->Signature != IMAGE_NT_SIGNATURE ||
        headers->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC ||
        headers->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_SECURITY) {
        return true;
    }
    return headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size != 0;
}

}  // namespace

std::optional<CodeSigner> trustedCodeSigner(HeldFile& file, const WideString& path) {
    if (!file.isOpen()) {
        return std::nullopt;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(file.native_);
    // The digest check has read it to its end.
    SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
    return verifiedSigner(path, handle);
}

std::optional<CodeSigner> trustedSignerOfThisProgram() {
    if (!imageCarriesSignature()) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::nullopt;
        }
        if (length < buffer.size()) {
            // The image cannot be changed while it runs; WinTrust opens it for reading.
            return verifiedSigner(
                WideString(reinterpret_cast<const char16_t*>(buffer.data()), length), nullptr);
        }
        if (buffer.size() >= 32768) {
            return std::nullopt;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform
