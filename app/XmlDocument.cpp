#include "app/XmlDocument.h"
#include "app/TextFormat.h"

#include <expat.h>

#include <algorithm>
#include <memory>

namespace veltrix {

XmlNode XmlNode::element(std::string tag) {
    XmlNode node;
    node.name = std::move(tag);
    return node;
}

XmlNode XmlNode::leaf(Kind kind, std::string value) {
    XmlNode node;
    node.kind = kind;
    node.value = std::move(value);
    return node;
}

namespace {

void appendText(const XmlNode& node, std::string& out) {
    if (node.isText()) out += node.value;
    for (const XmlNode& child : node.children) appendText(child, out);
}

void collect(const XmlNode& node, const std::string& tag, std::vector<const XmlNode*>& found) {
    if (!node.isElement()) return;
    if (node.name == tag) found.push_back(&node);
    for (const XmlNode& child : node.children) collect(child, tag, found);
}

// The state of one read: the open elements and the text gathered since the last markup.
struct Reader {
    XML_Parser parser = nullptr;
    const std::string* content = nullptr;
    int maxDepth = 0;
    bool tooDeep = false;
    bool inDoctype = false;
    std::string doctype;
    std::vector<XmlNode> nodes;   // the document's own nodes
    std::vector<XmlNode> open;    // the elements started and not yet ended, outermost first
    std::string text;             // character data not yet stored
    bool inCData = false;

    std::vector<XmlNode>& siblings() { return open.empty() ? nodes : open.back().children; }

    // Stores the gathered text as a node; text that is only white space (Unicode spaces
    // included) is dropped.
    void flushText() {
        if (!trimmed(text).empty() && !open.empty())
            open.back().children.push_back(XmlNode::leaf(XmlNode::Kind::Text, text));
        text.clear();
    }
};

extern "C" {

void onStart(void* data, const XML_Char* tag, const XML_Char** attributes) {
    Reader& r = *static_cast<Reader*>(data);
    r.flushText();
    if (int(r.open.size()) >= r.maxDepth) {
        r.tooDeep = true;
        XML_StopParser(r.parser, XML_FALSE);
        return;
    }
    XmlNode element = XmlNode::element(tag);
    for (int i = 0; attributes[i]; i += 2) element.attributes.emplace_back(attributes[i], attributes[i + 1]);
    r.open.push_back(std::move(element));
}

void onEnd(void* data, const XML_Char*) {
    Reader& r = *static_cast<Reader*>(data);
    r.flushText();
    XmlNode element = std::move(r.open.back());
    r.open.pop_back();
    r.siblings().push_back(std::move(element));
}

void onCharacters(void* data, const XML_Char* s, int length) {
    Reader& r = *static_cast<Reader*>(data);
    // The reader turns every line end into "\n"; one that stood as "\r" or "\r\n" in the file
    // keeps its carriage return, as the file had it. (Line ends from an entity's replacement text
    // have no place in the file and stay "\n".)
    if (length == 1 && s[0] == '\n') {
        const XML_Index at = XML_GetCurrentByteIndex(r.parser);
        const int count = XML_GetCurrentByteCount(r.parser);
        if (at >= 0 && count > 0 && size_t(at) + size_t(count) <= r.content->size()) {
            const std::string raw = r.content->substr(size_t(at), size_t(count));
            if (raw.find('\r') != std::string::npos) {
                r.text += raw.find('\n') != std::string::npos ? "\r\n" : "\r";
                return;
            }
        }
    }
    r.text.append(s, size_t(length));
}

void onCDataStart(void* data) {
    Reader& r = *static_cast<Reader*>(data);
    r.flushText();
    r.inCData = true;
}

void onCDataEnd(void* data) {
    Reader& r = *static_cast<Reader*>(data);
    r.siblings().push_back(XmlNode::leaf(XmlNode::Kind::CData, r.text));
    r.text.clear();
    r.inCData = false;
}

void onComment(void* data, const XML_Char* comment) {
    Reader& r = *static_cast<Reader*>(data);
    if (r.inDoctype) return;
    r.flushText();
    r.siblings().push_back(XmlNode::leaf(XmlNode::Kind::Comment, comment));
}

void onInstruction(void* data, const XML_Char* target, const XML_Char* contents) {
    Reader& r = *static_cast<Reader*>(data);
    if (r.inDoctype) return;
    r.flushText();
    XmlNode node = XmlNode::leaf(XmlNode::Kind::ProcessingInstruction, contents);
    node.name = target;
    r.siblings().push_back(std::move(node));
}

// An entity the document uses without declaring it reads as nothing; it separates the text
// around it.
void onSkippedEntity(void* data, const XML_Char*, int) { static_cast<Reader*>(data)->flushText(); }

void onDoctypeStart(void* data, const XML_Char* name, const XML_Char*, const XML_Char*, int) {
    Reader& r = *static_cast<Reader*>(data);
    r.doctype = name;
    r.inDoctype = true;
}

void onDoctypeEnd(void* data) { static_cast<Reader*>(data)->inDoctype = false; }

}  // extern "C"

struct ParserDeleter {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

void indentBy(std::string& out, int depth, int indent) { out.append(size_t(depth * (indent < 1 ? 0 : indent)), ' '); }

std::string escapeText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '<') out += "&lt;";
        else if (c == '&') out += "&amp;";
        else if (c == '>' && i >= 2 && text[i - 1] == ']' && text[i - 2] == ']') out += "&gt;";
        else if (c == '\r') out += "&#xd;";
        else out += c;
    }
    return out;
}

std::string escapeAttribute(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '<') out += "&lt;";
        else if (c == '>' && i >= 2 && text[i - 1] == ']' && text[i - 2] == ']') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else if (c == '"') out += "&quot;";
        else if (c == '\t') out += "&#x9;";
        else if (c == '\n') out += "&#xa;";
        else if (c == '\r') out += "&#xd;";
        else out += c;
    }
    return out;
}

// Writes one node of a list; a node next to text is written without the line breaks and indentation
// around it, so that the text is kept as it is.
void write(const std::vector<XmlNode>& list, size_t i, int depth, int indent, std::string& out) {
    const XmlNode& node = list[i];
    const bool afterText = i > 0 && list[i - 1].isText();
    const bool beforeText = i + 1 < list.size() && list[i + 1].isText();
    switch (node.kind) {
    case XmlNode::Kind::Text:
        out += escapeText(node.value);
        return;
    case XmlNode::Kind::CData:
        out += "<![CDATA[" + node.value + "]]>";
        return;
    case XmlNode::Kind::Comment:
        if (!afterText) indentBy(out, depth, indent);
        // A space keeps a comment that ends in "-" from ending in "--->".
        out += "<!--" + node.value + (!node.value.empty() && node.value.back() == '-' ? " -->" : "-->");
        break;
    case XmlNode::Kind::ProcessingInstruction:
        if (!afterText) indentBy(out, depth, indent);
        out += "<?" + node.name + " " + node.value + "?>";
        break;
    case XmlNode::Kind::Element:
        if (!afterText) indentBy(out, depth, indent);
        out += "<" + node.name;
        for (const auto& [name, value] : node.attributes) out += " " + name + "=\"" + escapeAttribute(value) + "\"";
        if (node.children.empty()) {
            out += "/>";
            break;
        }
        out += ">";
        if (!node.children.front().isText()) out += "\n";
        for (size_t k = 0; k < node.children.size(); ++k) write(node.children, k, depth + 1, indent, out);
        if (!node.children.back().isText()) indentBy(out, depth, indent);
        out += "</" + node.name + ">";
        break;
    }
    if (!beforeText) out += "\n";
}

}  // namespace

std::string XmlNode::text() const {
    std::string out;
    appendText(*this, out);
    return out;
}

std::string XmlNode::attribute(const std::string& attributeName) const {
    for (const auto& [key, v] : attributes)
        if (key == attributeName) return v;
    return std::string();
}

void XmlNode::setAttribute(const std::string& attributeName, const std::string& attributeValue) {
    for (auto& [key, v] : attributes)
        if (key == attributeName) {
            v = attributeValue;
            return;
        }
    attributes.emplace_back(attributeName, attributeValue);
}

std::vector<const XmlNode*> XmlNode::childElements() const {
    std::vector<const XmlNode*> found;
    for (const XmlNode& child : children)
        if (child.isElement()) found.push_back(&child);
    return found;
}

bool XmlDocument::setContent(const std::string& content, XmlParseError* error, int maxDepth) {
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreate(nullptr));
    if (!parser) {
        if (error) *error = {"out of memory", 0, 0, false};
        return false;
    }
    Reader reader;
    reader.parser = parser.get();
    reader.content = &content;
    reader.maxDepth = maxDepth;
    XML_Parser p = parser.get();
    XML_SetUserData(p, &reader);
    XML_SetElementHandler(p, onStart, onEnd);
    XML_SetCharacterDataHandler(p, onCharacters);
    XML_SetCdataSectionHandler(p, onCDataStart, onCDataEnd);
    XML_SetCommentHandler(p, onComment);
    XML_SetProcessingInstructionHandler(p, onInstruction);
    XML_SetSkippedEntityHandler(p, onSkippedEntity);
    XML_SetDoctypeDeclHandler(p, onDoctypeStart, onDoctypeEnd);
    // Read as if the document had an external DTD that is never loaded: an undeclared entity is
    // then skipped instead of ending the read.
    XML_UseForeignDTD(p, XML_TRUE);

    // Fed in pieces, since one call takes at most INT_MAX bytes.
    const size_t kPiece = size_t(1) << 30;
    XML_Status status = XML_STATUS_OK;
    size_t at = 0;
    do {
        const size_t n = std::min(kPiece, content.size() - at);
        status = XML_Parse(p, content.data() + at, int(n), at + n == content.size());
        at += n;
    } while (status == XML_STATUS_OK && at < content.size());

    if (status != XML_STATUS_OK || reader.tooDeep) {
        if (error) {
            error->tooDeep = reader.tooDeep;
            error->message = reader.tooDeep ? "elements nested too deeply" : XML_ErrorString(XML_GetErrorCode(p));
            error->line = int(XML_GetCurrentLineNumber(p));
            error->column = int(XML_GetCurrentColumnNumber(p)) + 1;
        }
        return false;
    }
    doctype_ = std::move(reader.doctype);
    nodes_ = std::move(reader.nodes);
    return true;
}

bool XmlDocument::hasRoot() const {
    for (const XmlNode& node : nodes_)
        if (node.isElement()) return true;
    return false;
}

const XmlNode& XmlDocument::documentElement() const {
    static const XmlNode none;
    for (const XmlNode& node : nodes_)
        if (node.isElement()) return node;
    return none;
}

std::vector<const XmlNode*> XmlDocument::elementsByTagName(const std::string& tag) const {
    std::vector<const XmlNode*> found;
    for (const XmlNode& node : nodes_) collect(node, tag, found);
    return found;
}

std::string XmlDocument::toString(int indent) const {
    std::string out;
    if (!doctype_.empty()) out += "<!DOCTYPE " + doctype_ + ">\n";
    for (size_t i = 0; i < nodes_.size(); ++i) write(nodes_, i, 0, indent, out);
    return out;
}

}  // namespace veltrix
