#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Bytes.h"

// Shared fixtures of the signer tests: the certificates of tests/support/gencerts.sh, made once
// per test program in a temporary directory, and a fresh HOME per test with its own NSS database
// and SoftHSM token.
namespace fixtures {

// The directory holding <name>.der/.pem/.p12/.key of gencerts.sh.
const std::string& certDir();
mv::ByteBuffer readCert(const std::string& name);
std::string readText(const std::string& path);

// Runs a shell command; its exit status.
int run(const std::string& command);

// A temporary HOME (with XDG and TMPDIR inside it) for one test; removed at the end, and the
// environment restored.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    // Creates $HOME/.pki/nssdb (empty password) and imports the given PKCS#12 bundles
    // ("ee ee2"), plus the CA certificate without key.
    void makeNssDb(const std::string& bundles);
    // A SoftHSM2 token labelled "card" with PIN 1234 holding `bundle`'s key and certificate.
    void addSoftHsmToken(const std::string& bundle);
    // Registers SoftHSM2 in the NSS database as the module `moduleName`; each registration loads
    // its own copy of the library, as distinct providers are distinct libraries.
    void registerSoftHsm(const std::string& moduleName);

    std::string home;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv;
    std::string nssDir() const { return home + "/.pki/nssdb"; }
};

}  // namespace fixtures
