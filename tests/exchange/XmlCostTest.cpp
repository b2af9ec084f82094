#include "exchange/XmlCost.h"

#include <gtest/gtest.h>
#include <libxml/valid.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "support/TestSupport.h"

namespace mv {
namespace {

// `text` (ASCII) in code units of `width` bytes, most significant first or last.
std::string widened(const std::string& text, int width, bool bigEndian) {
    std::string out;
    for (char c : text) {
        std::string unit(width, '\0');
        unit[bigEndian ? width - 1 : 0] = c;
        out += unit;
    }
    return out;
}

// The text of the document's top element, or "refused".
std::string contentOf(const std::string& bytes) {
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(readBoundedXml(bytes.data(), bytes.size()),
                                                     xmlFreeDoc);
    if (!doc) {
        return "refused";
    }
    xmlChar* text = xmlNodeGetContent(xmlDocGetRootElement(doc.get()));
    std::string content = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return content;
}

// libxml2 guesses an encoding from a document's first bytes when it is given none, and would
// decode the rest in it; the pass reads UTF-8. Each such start is read as UTF-8 here, where none
// of them is markup: refused. A UTF-8 byte order mark is skipped.
TEST(ReadBoundedXml, startsThatWouldSwitchTheDecoder_readAsUtf8) {
    const std::string doc = "<?xml version=\"1.0\"?><r>x</r>";
    // clang-format off
    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"UTF-8 byte order mark", "\xEF\xBB\xBF" + doc, "x"},
        {"UTF-8 byte order mark, Japanese text", "\xEF\xBB\xBF<r>日本</r>", "日本"},
        {"UTF-16LE byte order mark", "\xFF\xFE" + widened(doc, 2, false), "refused"},
        {"UTF-16BE byte order mark", "\xFE\xFF" + widened(doc, 2, true), "refused"},
        {"<\\0?\\0, UTF-16LE", widened(doc, 2, false), "refused"},
        {"\\0<\\0?, UTF-16BE", widened(doc, 2, true), "refused"},
        {"\\0\\0\\0<, UCS-4BE", widened(doc, 4, true), "refused"},
        {"<\\0\\0\\0, UCS-4LE", widened(doc, 4, false), "refused"},
        {"UCS-4 byte order mark", std::string("\0\0\xFE\xFF", 4) + widened(doc, 4, true), "refused"},
        {"EBCDIC <?xm", "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7F\xF1\x4B\xF0"
                        "\x7F\x6F\x6E\x4C\x99\x6E\xA7\x4C\x61\x99\x6E", "refused"},
    };
    // clang-format on
    for (const auto& [why, bytes, content] : rows) {
        EXPECT_EQ(contentOf(bytes), content) << why;
    }
}

// A document is read as its author wrote it, and nothing it names is read beside it.
TEST(ReadBoundedXml, documentsAsWritten_readAsWrittenNothingLoaded) {
    test::ScratchDir dir;
    const std::string dtd = dir.file("x.dtd");
    std::ofstream(dtd) << "this file holds no document type";
    const std::tuple<const char*, std::string, std::string> rows[] = {
        // A signed document keeps the signer's indentation byte for byte.
        {"indentation between elements", "<r>\n  <a>1</a>\n  <b>2</b>\n</r>", "\n  1\n  2\n"},
        // Were the file read, what it holds would fail the document.
        {"a document type named by a file", "<!DOCTYPE r SYSTEM \"file://" + dtd + "\"><r>x</r>",
         "x"},
    };
    for (const auto& [why, bytes, content] : rows) {
        EXPECT_EQ(contentOf(bytes), content) << why;
    }
}

// libxml2 reports some errors to the thread's own handlers whatever the parse options say, and
// the default handler writes to standard error: the third ID attribute declared for an element
// is reported once, the fourth twice... Outside XML writes nothing there, on whichever thread it
// is parsed, nor to a structured handler that the thread has set; and the thread keeps the
// handlers it had, generic and structured, each with its context.
TEST(ReadBoundedXml, reportsOfLibxml2_neverOnStandardErrorOnAnyThread) {
    std::string doc = "<!DOCTYPE r [<!ATTLIST r";
    for (int n = 0; n < 8; ++n) {
        doc += " i" + std::to_string(n) + " ID #IMPLIED";
    }
    doc += ">]><r>x</r>";
    for (const bool ownThread : {false, true}) {
        for (const bool structured : {false, true}) {
            std::string content;
            bool genericKept = false, structuredKept = false;
            int reported = 0;  // to the thread's structured handler
            auto count = [](void* reports, auto) { ++*static_cast<int*>(reports); };
            auto parse = [&] {
                if (structured) {
                    xmlSetStructuredErrorFunc(&reported, count);
                }
                const xmlGenericErrorFunc before = xmlGenericError;
                void* const beforeContext = xmlGenericErrorContext;
                const xmlStructuredErrorFunc structuredBefore = xmlStructuredError;
                void* const structuredContextBefore = xmlStructuredErrorContext;
                content = contentOf(doc);
                genericKept = xmlGenericError == before && xmlGenericErrorContext == beforeContext;
                structuredKept = xmlStructuredError == structuredBefore &&
                                 xmlStructuredErrorContext == structuredContextBefore;
                xmlSetStructuredErrorFunc(nullptr, nullptr);
            };
            testing::internal::CaptureStderr();
            if (ownThread) {
                std::thread(parse).join();
            } else {
                parse();
            }
            SCOPED_TRACE(std::string(ownThread ? "own thread" : "this thread") +
                         (structured ? ", a structured handler set" : ""));
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            EXPECT_EQ(content, "x");
            EXPECT_EQ(reported, 0);
            EXPECT_TRUE(genericKept);
            EXPECT_TRUE(structuredKept);
        }
    }
}

// libxml2 registers no ID and no IDREF of outside XML, whatever declares it: its tables of them
// stop growing and cost quadratic time in bulk (an Id on every row is an ordinary shape). The
// document is the same tree; whoever needs its IDs indexes them.
TEST(ReadBoundedXml, idsAndReferences_neverRegistered) {
    const std::string dtd =
        "<!DOCTYPE r [<!ATTLIST a k ID #IMPLIED r IDREF #IMPLIED s IDREFS #IMPLIED>]>";
    const std::pair<const char*, std::string> rows[] = {
        {"xml:id", "<r><a xml:id=\"i1\"/><a xml:id=\"i2\"/></r>"},
        {"declared ID, IDREF and IDREFS",
         dtd + "<r><a k=\"i1\"/><a k=\"i2\" r=\"i1\" s=\"i1 i2\"/></r>"},
    };
    for (const auto& [why, bytes] : rows) {
        std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(readBoundedXml(bytes.data(), bytes.size()),
                                                         xmlFreeDoc);
        ASSERT_TRUE(doc) << why;
        EXPECT_EQ(doc->ids, nullptr) << why;
        EXPECT_EQ(doc->refs, nullptr) << why;
        EXPECT_EQ(xmlGetID(doc.get(), reinterpret_cast<const xmlChar*>("i1")), nullptr) << why;
        // The tree itself is whole.
        xmlNodePtr second = xmlDocGetRootElement(doc.get())->children->next;
        ASSERT_NE(second, nullptr) << why;
        EXPECT_EQ(xmlIsID(doc.get(), second, second->properties), 1) << why;
    }
}

}  // namespace
}  // namespace mv
