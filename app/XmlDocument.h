#pragma once
#include <string>
#include <utility>
#include <vector>

namespace veltrix {

// A small XML element tree, as the parameter files need it: read with expat, written back in a
// fixed indented layout. Text is UTF-8 throughout.

// One node: an element with its attributes and children, or a piece of text, a CDATA section, a
// comment or a processing instruction.
struct XmlNode {
    enum class Kind { Element, Text, CData, Comment, ProcessingInstruction };

    Kind kind = Kind::Element;
    std::string name;   // the tag of an element, the target of a processing instruction
    std::string value;  // the contents of any other node
    std::vector<std::pair<std::string, std::string>> attributes;  // in document order
    std::vector<XmlNode> children;

    static XmlNode element(std::string tag);
    static XmlNode leaf(Kind kind, std::string value);

    bool isElement() const { return kind == Kind::Element; }
    bool isText() const { return kind == Kind::Text || kind == Kind::CData; }
    // The text and CDATA contents of everything below, in document order.
    std::string text() const;
    // The value of an attribute; empty when there is none of that name.
    std::string attribute(const std::string& name) const;
    void setAttribute(const std::string& name, const std::string& value);
    // The child elements, in order.
    std::vector<const XmlNode*> childElements() const;
};

// Why a text could not be read: the reader's message and where (line and column from 1), or that
// its elements nest deeper than allowed.
struct XmlParseError {
    std::string message;
    int line = 0, column = 0;
    bool tooDeep = false;
};

class XmlDocument {
public:
    // An empty document; with a name, one whose document type declaration names it.
    XmlDocument() = default;
    explicit XmlDocument(std::string doctypeName) : doctype_(std::move(doctypeName)) {}

    // Reads the document from its text. Text that is white space only is dropped, CDATA sections
    // are kept whole, carriage returns in text are kept, entities declared in the document type
    // declaration are expanded and unknown entities read as nothing. False (with the reason in
    // *error) for text that is not well-formed XML or whose elements nest deeper than maxDepth;
    // the document is then left as it was.
    bool setContent(const std::string& content, XmlParseError* error = nullptr, int maxDepth = 256);

    const std::string& doctypeName() const { return doctype_; }
    bool hasRoot() const;
    // The root element; an empty element when there is none.
    const XmlNode& documentElement() const;
    // The nodes outside the document type declaration: the root element and any comments and
    // processing instructions around it.
    std::vector<XmlNode>& nodes() { return nodes_; }
    const std::vector<XmlNode>& nodes() const { return nodes_; }
    // Every element of that tag, the root included, in document order.
    std::vector<const XmlNode*> elementsByTagName(const std::string& tag) const;

    // The text form: the document type declaration by its name, then one node per line with
    // indent spaces per level; an element's text stays on the line of its tag. Markup characters
    // are escaped: in text "&", "<", the ">" of "]]>" and carriage returns; in attribute values
    // also quotes, tabs and line ends.
    std::string toString(int indent) const;

private:
    std::string doctype_;
    std::vector<XmlNode> nodes_;
};

}  // namespace veltrix
