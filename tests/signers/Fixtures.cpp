#include "Fixtures.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fixtures {

namespace fs = std::filesystem;

namespace {

// The temporary directory of the test program itself, before any test changed TMPDIR.
const std::string& baseTempDir() {
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        return std::string(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp");
    }();
    return dir;
}

std::string makeTempDir(const char* prefix) {
    std::string pattern = baseTempDir() + "/" + prefix + ".XXXXXX";
    char* made = mkdtemp(pattern.data());
    return made != nullptr ? made : "";
}

// Removes the certificate directory when the test program ends.
struct CertDirOwner {
    std::string dir;
    ~CertDirOwner() {
        if (!dir.empty()) {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    }
};

std::string softHsmLibrary() {
    for (const char* path :
         {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
        if (fs::exists(path)) {
            return path;
        }
    }
    return "";
}

}  // namespace

const std::string& certDir() {
    static CertDirOwner owner;
    if (owner.dir.empty()) {
        owner.dir = makeTempDir("mvcerts");
        std::string script = std::string(QUARNEL_TEST_SUPPORT_DIR) + "/gencerts.sh";
        if (run(script + " " + owner.dir + " >/dev/null 2>&1") != 0) {
            ADD_FAILURE() << "gencerts.sh failed";
        }
    }
    return owner.dir;
}

mv::ByteBuffer readCert(const std::string& name) {
    std::ifstream in(certDir() + "/" + name + ".der", std::ios::binary);
    return mv::ByteBuffer((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int run(const std::string& command) {
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempHome::TempHome() {
    certDir();  // made before TMPDIR moves
    home = makeTempDir("mvhome");
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR", "SOFTHSM2_CONF",
                             "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = getenv(name);
        savedEnv.emplace_back(name,
                              value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("TMPDIR", home.c_str(), 1);
    setenv("SOFTHSM2_CONF", (home + "/softhsm2.conf").c_str(), 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
}

TempHome::~TempHome() {
    for (auto it = savedEnv.rbegin(); it != savedEnv.rend(); ++it) {
        if (it->second) {
            setenv(it->first.c_str(), it->second->c_str(), 1);
        } else {
            unsetenv(it->first.c_str());
        }
    }
    std::error_code ec;
    fs::remove_all(home, ec);
}

void TempHome::makeNssDb(const std::string& bundles) {
    fs::create_directories(nssDir());
    std::string db = "sql:" + nssDir();
    const std::string& certs = certDir();
    ASSERT_EQ(run("certutil -N -d " + db + " --empty-password"), 0);
    ASSERT_EQ(run("certutil -A -d " + db + " -n ca -t CT,C,C -i " + certs + "/ca.pem"), 0);
    std::istringstream names(bundles);
    for (std::string name; names >> name;) {
        ASSERT_EQ(
            run("pk12util -i " + certs + "/" + name + ".p12 -d " + db + " -W test >/dev/null"), 0)
            << name;
    }
}

void TempHome::addSoftHsmToken(const std::string& bundle) {
    std::string library = softHsmLibrary();
    ASSERT_FALSE(library.empty()) << "softhsm2 is not installed";
    fs::create_directories(home + "/tokens");
    {
        std::ofstream conf(home + "/softhsm2.conf");
        conf << "directories.tokendir = " << home << "/tokens\nobjectstore.backend = file\n"
             << "log.level = ERROR\n";
    }
    const std::string& certs = certDir();
    std::string key = bundle == "ee2" ? "ee2" : "ee";
    ASSERT_EQ(run("softhsm2-util --init-token --free --label card --pin 1234 --so-pin 5678 "
                  ">/dev/null"),
              0);
    ASSERT_EQ(run("openssl pkcs8 -topk8 -nocrypt -in " + certs + "/" + key + ".key -out " + home +
                  "/token-key.p8"),
              0);
    ASSERT_EQ(run("softhsm2-util --import " + home +
                  "/token-key.p8 --token card --label key --id 01 --pin 1234 >/dev/null"),
              0);
    ASSERT_EQ(run("pkcs11-tool --module " + library +
                  " --token-label card --login --pin 1234 --write-object " + certs + "/" + bundle +
                  ".der --type cert --id 01 --label cert >/dev/null 2>&1"),
              0);
}

void TempHome::registerSoftHsm(const std::string& moduleName) {
    static int copies = 0;
    std::string library = home + "/softhsm-" + std::to_string(++copies) + ".so";
    fs::copy_file(softHsmLibrary(), library);
    ASSERT_EQ(run("modutil -force -dbdir sql:" + nssDir() + " -add '" + moduleName + "' -libfile " +
                  library + " >/dev/null"),
              0);
}

}  // namespace fixtures
