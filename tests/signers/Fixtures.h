#pragma once

// Shared fixtures of the signer tests (and of the runner's signer test): the certificates of
// tests/support/gencerts.sh, made once per test program, and a fresh HOME per test with its own
// NSS database and SoftHSM token.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/Text.h"
#include "support/TestSupport.h"

namespace fixtures {

using mv::ByteBuffer;
using mv::test::certDir;
using mv::test::readText;
using mv::test::textOf;

inline int run(const std::string& command) {
    return mv::test::shell(command);
}

inline std::u16string u16(const std::string& text) {
    return mv::utf8ToWString(text.data(), text.size());
}

inline std::string hexOf(const ByteBuffer& bytes) {
    std::string hex;
    mv::bytesToHex(bytes, hex);
    return hex;
}

// Certificate times are shown in local time: tests choose the zone.
inline void setZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

// A directory that root alone can write to, as a library named by the page with a directory part
// must sit in (the temporary directory is world-writable).
inline mv::test::ScratchDir rootOnlyDir() {
    mv::test::ScopedEnv in("TMPDIR", "/var/lib");
    return mv::test::ScratchDir();
}

inline ByteBuffer readCert(const std::string& name) {
    return mv::test::bytesOf(readText(certDir() + "/" + name + ".der"));
}

// 0 when OpenSSL verifies `signature` over `digest` (PKCS#1 v1.5 with DigestInfo) with the public
// key of gencerts.sh's `keyName`.
inline int verify(const std::string& keyName, const char* digestName, const ByteBuffer& digest,
                  const ByteBuffer& signature) {
    std::string dir = std::filesystem::temp_directory_path();
    std::ofstream(dir + "/hash.bin", std::ios::binary) << textOf(digest);
    std::ofstream(dir + "/sig.bin", std::ios::binary) << textOf(signature);
    return run("openssl pkeyutl -verify -pubin -inkey " + certDir() + "/" + keyName +
               ".pub -pkeyopt digest:" + digestName + " -in " + dir + "/hash.bin -sigfile " + dir +
               "/sig.bin >/dev/null 2>&1");
}

// A temporary HOME (see mv::test::TempHome) with the user's NSS store and SoftHSM tokens.
struct CertsFirst {
    CertsFirst() { certDir(); }  // made before TMPDIR moves
};
class TempHome : CertsFirst, public mv::test::TempHome {
public:
    // Creates $HOME/.pki/nssdb (empty password) with the CA certificate without key and the
    // given PKCS#12 bundles ("ee ee2").
    void makeNssDb(const std::string& bundles) {
        std::filesystem::create_directories(nssDir());
        const std::string db = " -d sql:" + nssDir();
        std::string script = "certutil -N --empty-password" + db +
                             " && certutil -A -n ca -t CT,C,C -i " + certDir() + "/ca.pem" + db;
        std::istringstream names(bundles);
        for (std::string name; names >> name;) {
            script += " && pk12util -W test -i " + certDir() + "/" + name + ".p12" + db;
        }
        ASSERT_EQ(quietly(script), 0) << bundles;
    }

    // A SoftHSM2 token labelled `label` with PIN 1234 holding `bundle`'s key and certificate.
    void addSoftHsmToken(const std::string& bundle, const std::string& label = "card") {
        const std::string key = certDir() + (bundle == "ee2" ? "/ee2.key" : "/ee.key");
        ASSERT_EQ(run(std::string(QUARNEL_TEST_SUPPORT_DIR) + "/make-token.sh " + home + " " +
                      label + " " + key + " " + certDir() + "/" + bundle + ".der >/dev/null"),
                  0)
            << bundle;
    }

    // Writes gencerts.sh's certificate `name` onto the token `label` as one more object.
    void addTokenCert(const std::string& label, const std::string& name, const std::string& id) {
        ASSERT_EQ(quietly("pkcs11-tool --module " + softHsmLibrary() + " --token-label " + label +
                          " --login --pin 1234 --write-object " + certDir() + "/" + name +
                          ".der --type cert --id " + id + " --label cert" + id),
                  0)
            << name;
    }

    // Registers SoftHSM2 in the NSS database as the module `moduleName`; each registration loads
    // its own copy of the library, as distinct providers are distinct libraries. Returns the copy.
    std::string registerSoftHsm(const std::string& moduleName) {
        static int copies = 0;
        std::string library = home + "/softhsm-" + std::to_string(++copies) + ".so";
        std::filesystem::copy_file(softHsmLibrary(), library);
        EXPECT_EQ(quietly("modutil -force -dbdir sql:" + nssDir() + " -add '" + moduleName +
                          "' -libfile " + library),
                  0);
        return library;
    }

    std::string nssDir() const { return home + "/.pki/nssdb"; }

    // Runs a command line without its output; its exit status.
    static int quietly(const std::string& command) {
        return run("(" + command + ") >/dev/null 2>&1");
    }

    // Where Debian puts it, by release.
    static std::string softHsmLibrary() {
        const char* older = "/usr/lib/softhsm/libsofthsm2.so";
        return std::filesystem::exists(older) ? older
                                              : "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
    }
};

}  // namespace fixtures
