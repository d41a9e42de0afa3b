// Adds a test CA to, or removes it from, the current user's trusted root
// store of the Wine prefix the tests run in, so that WinINet accepts the test
// web server's certificate. Only that one certificate is touched.
//   rr_trust_ca add|remove <certificate.der>
// Exits 0 on success, 1 with a message on standard error otherwise.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& data) {
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1 << 20);
    DWORD read = 0;
    if (ok) {
        data.resize(static_cast<size_t>(size.QuadPart));
        ok = ::ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) &&
             read == data.size();
    }
    ::CloseHandle(file);
    return ok;
}

int Fail(const char* what) {
    std::fprintf(stderr, "rr_trust_ca: %s failed, error=%lu\n", what, ::GetLastError());
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || (std::wstring(argv[1]) != L"add" && std::wstring(argv[1]) != L"remove")) {
        std::fprintf(stderr, "usage: rr_trust_ca add|remove <certificate.der>\n");
        return 1;
    }
    std::vector<BYTE> der;
    if (!ReadWholeFile(argv[2], der))
        return Fail("reading the certificate");
    // The registry store itself, not the system store's collection: Wine
    // deletes nothing through the collection.
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                       CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr)
        return Fail("CertOpenStore");
    int result = 0;
    if (std::wstring(argv[1]) == L"add") {
        if (!::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
            result = Fail("CertAddEncodedCertificateToStore");
    } else {
        PCCERT_CONTEXT wanted = ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                               static_cast<DWORD>(der.size()));
        PCCERT_CONTEXT found =
            wanted == nullptr ? nullptr
                              : ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                             CERT_FIND_EXISTING, wanted, nullptr);
        // The store frees the found context whatever the outcome.
        if (found == nullptr)
            result = Fail("CertFindCertificateInStore");
        else if (!::CertDeleteCertificateFromStore(found))
            result = Fail("CertDeleteCertificateFromStore");
        if (wanted != nullptr)
            ::CertFreeCertificateContext(wanted);
    }
    ::CertCloseStore(store, 0);
    return result;
}
