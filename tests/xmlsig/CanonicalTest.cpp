#include <gtest/gtest.h>
#include <libxml/c14n.h>
#include <libxml/parser.h>

#include <string>
#include <vector>

#include "xmlsig/Canonical.h"

namespace {

using mv::ByteBuffer;

std::string text(const ByteBuffer& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

xmlDocPtr parse(const std::string& xml) {
    return xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                         XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

// The canonical form of the walk, or "fails".
std::string fast(xmlDocPtr doc, const mv::SubtreeFilter* filter) {
    ByteBuffer bytes;
    mv::CanonicalSink sink{&bytes, nullptr, 0};
    return mv::canonicalizeTo(doc, filter, sink) > 0 ? text(bytes) : "fails";
}

// libxml2's canonical form of the same nodes: the whole document, the node set of the XPath
// rule, or a copy with the subtrees removed.
std::string reference(xmlDocPtr doc, const char* xpath) {
    ByteBuffer bytes;
    return mv::canonicalize(doc, xpath, bytes) > 0 ? text(bytes) : "fails";
}

std::vector<xmlNodePtr> withId(xmlNodePtr node, const std::string& id) {
    std::vector<xmlNodePtr> found;
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE) {
            continue;
        }
        xmlChar* value = xmlGetNoNsProp(node, BAD_CAST "Id");
        if (value != nullptr && id == reinterpret_cast<char*>(value)) {
            found.push_back(node);
        }
        xmlFree(value);
        std::vector<xmlNodePtr> below = withId(node->children, id);
        found.insert(found.end(), below.begin(), below.end());
    }
    return found;
}

// Compares the walk with libxml2 for the whole document and for the subtrees of every Id the
// document uses.
void expectSameForms(const std::string& xml) {
    xmlDocPtr doc = parse(xml);
    ASSERT_NE(doc, nullptr) << xml;
    EXPECT_EQ(fast(doc, nullptr), reference(doc, nullptr)) << xml;
    for (const char* id : {"a", "b", "c"}) {
        mv::SubtreeFilter filter;
        filter.roots = withId(doc->children, id);
        if (filter.roots.empty()) {
            continue;
        }
        std::string xpath = std::string("ancestor-or-self::*[@Id=\"") + id + "\"]";
        EXPECT_EQ(fast(doc, &filter), reference(doc, xpath.c_str())) << id << " in " << xml;
    }
    xmlFreeDoc(doc);
}

// Documents that exercise each rule of inclusive C14N: namespace declarations that change,
// repeat or undeclare what is in scope, xml:* attributes inherited by a subtree's top, attribute
// order across namespaces, escaping in text, attributes and instructions, nodes outside the top
// element, and documents that canonical XML refuses. fuzz/xml_references.cpp compares the two
// on whatever documents the fuzzer makes.
TEST(Canonical, walk_equalsLibxml2) {
    const char* docs[] = {
        "<?pi before?><!--c--><r><?pi inside data?></r><?pi after?><!--d-->",
        "<r xmlns=\"urn:d\" xmlns:p=\"urn:p\"><p:e Id=\"a\" p:x=\"1\" y=\"2\" xmlns:q=\"urn:q\" "
        "q:z=\"3\"><f xmlns=\"\"><g xmlns=\"urn:d\"/></f></p:e></r>",
        "<r xmlns:p=\"urn:p\"><a xmlns:p=\"urn:p\" Id=\"b\"><b xmlns:p=\"urn:other\"/></a></r>",
        "<r xml:lang=\"ja\" xml:space=\"preserve\" xml:base=\"http://x/\"><m xml:lang=\"en\">"
        "<e Id=\"a\" xml:space=\"default\">t</e></m></r>",
        "<r>&amp;&lt;&gt;&#13;&#9;\"'<e Id=\"a\" v=\"&amp;&lt;&gt;&quot;&#9;&#10;&#13;'\">"
        "<![CDATA[<&>]]></e></r>",
        "<r><e Id=\"a\"><e Id=\"a\">nested</e></e><x/><e Id=\"a\">twice</e></r>",
        "<文書 属性=\"値\"><項目 Id=\"c\">日本語</項目></文書>",
        "<!DOCTYPE r [<!ELEMENT r ANY>]><r><e Id=\"a\"/></r>",
        "<r xmlns=\"urn:d\"><e Id=\"a\" xmlns=\"\"/><e xmlns=\"\"><f xmlns=\"\"/></e></r>",
        "<r xmlns:z=\"urn:z\" xmlns:a=\"urn:a\" z:k=\"1\" a:k=\"2\" b=\"3\" a=\"4\"/>",
        "<r xmlns:p=\"relative\"><e Id=\"a\"/></r>",
        "<!DOCTYPE r [<!ENTITY e \"x\">]><r><a Id=\"a\"/>&e;</r>",
    };
    for (const char* doc : docs) {
        expectSameForms(doc);
    }
}

// The parser stops at 256 levels, but the walk must not rely on it: a tree of 100,000 levels
// (built by hand) is refused instead of overflowing the stack.
TEST(Canonical, walk_deepTree_refusedNotCrashed) {
    xmlDocPtr doc = xmlNewDoc(BAD_CAST "1.0");
    xmlNodePtr node = xmlNewDocNode(doc, nullptr, BAD_CAST "a", nullptr);
    xmlDocSetRootElement(doc, node);
    for (int i = 0; i < 100000; ++i) {
        node = xmlNewChild(node, nullptr, BAD_CAST "a", nullptr);
    }
    EXPECT_EQ(fast(doc, nullptr), "fails");
    xmlFreeDoc(doc);
}

}  // namespace
