// Signs one XML file the way the signers' xades does (the builder's steps, no UTF-16 round trip),
// so that bench/xmlsign-vs-xmlsec1.sh can set it beside `xmlsec1 --sign` on the same file and
// key. Usage: bench_xmlsign <input> <output> [element Id]; the key is the one certificate with a
// private key in the NSS database under $HOME.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "signers/XadesSigning.h"
#include "signers/capi/QuarnelCapi.h"
#include "xmlsig/XmlSignatureBuilder.h"

namespace {

class EntrySigner : public mv::XmlSigner {
public:
    explicit EntrySigner(mv::CapiKeyEntry* entry) : entry_(entry) {}
    mv::ByteBuffer certificateDer() override {
        return mv::ByteBuffer(entry_->cert->derCert.data,
                              entry_->cert->derCert.data + entry_->cert->derCert.len);
    }
    int signDigest(mv::AlgId alg, const mv::ByteBuffer& digest, mv::ByteBuffer* value) override {
        return mv::QuarnelCapi::signHash(alg, digest.data(), entry_, value);
    }

private:
    mv::CapiKeyEntry* entry_;
};

// With QUARNEL_BENCH_PHASES set, each step's time goes to standard error.
void phase(const char* name) {
    using Clock = std::chrono::steady_clock;
    static Clock::time_point last = Clock::now();
    Clock::time_point now = Clock::now();
    if (std::getenv("QUARNEL_BENCH_PHASES") != nullptr) {
        std::ifstream status("/proc/self/status");
        std::string line, rss, peak;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                rss = line.substr(6);
            } else if (line.rfind("VmHWM:", 0) == 0) {
                peak = line.substr(6);
            }
        }
        std::fprintf(stderr, "%-16s %7.1f ms  rss %s  peak %s\n", name,
                     std::chrono::duration<double, std::milli>(now - last).count(), rss.c_str(),
                     peak.c_str());
    }
    last = now;
}

int fail(const char* step, int code) {
    std::fprintf(stderr, "%s: %d\n", step, code);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_xmlsign <input> <output> [element Id]\n");
        return 2;
    }
    phase("start");
    mv::QuarnelCapi store;
    std::u16string err;
    if (store.init(0, nullptr, &err) != 0 || store.cert(0, nullptr, nullptr) != 0) {
        return fail("no key", store.getErrorCode());
    }
    EntrySigner signer(store.keys[store.selected]);
    phase("key");
    mv::XmlSignatureBuilder builder;
    builder.init(mv::XADES_SIGNATURE_ID);
    {
        std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
        mv::ByteBuffer bytes(static_cast<size_t>(in.tellg()));
        in.seekg(0).read(reinterpret_cast<char*>(bytes.data()),
                         static_cast<std::streamsize>(bytes.size()));
        phase("read");
        int r = builder.loadDocument(bytes.data(), bytes.size());
        phase("loadDocument");
        if (r != 0) {
            return fail("loadDocument", r);
        }
    }
    int r = argc > 3 ? builder.addReferenceById(argv[3], mv::XADES_MAIN_REFERENCE_ID)
                     : builder.addEnvelopedReference(mv::XADES_MAIN_REFERENCE_ID);
    if (r < 0) {
        return fail("reference", r);
    }
    phase("reference");
    if ((r = builder.addXadesObject(mv::XADES_PROPERTIES_ID, store.keys[store.selected]->cert)) <
        0) {
        return fail("addXadesObject", r);
    }
    phase("addXadesObject");
    if ((r = builder.sign(&signer)) < 0) {
        return fail("sign", r);
    }
    phase("sign");
    mv::ByteBuffer out;
    if ((r = builder.output(out)) < 0) {
        return fail("output", r);
    }
    phase("output");
    std::ofstream(argv[2], std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    phase("write");
    builder.reset();
    phase("free");
    return 0;
}
