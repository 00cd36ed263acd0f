#include "app/XmlParam.h"
#include "core/Log.h"
#include "app/TextFormat.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <limits>
#include <sstream>

namespace veltrix {

namespace {

// Why a value text was not taken; an empty why means it was.
struct Refusal {
    bool unreadable = false;  // not a number of the entry's type at all
    std::string why;          // completes "<value> ...", e.g. "is not an integer"
};

std::string rangeText(double lo, double hi) {
    std::ostringstream text;
    text << "[" << lo << ", " << hi << "]";
    return text.str();
}

Refusal unreadable(const char* why) { return {true, why}; }

Refusal checkRange(double v, double lo, double hi) {
    if (v >= lo && v <= hi) return {};
    return {false, "is out of range " + rangeText(lo, hi)};
}

// Decimal integer, the whole text but surrounding blanks; 32-bit range, then [lo, hi].
Refusal readInt(const std::string& text, int& out, double lo, double hi) {
    int v = 0;
    if (!parseInt(text, v)) return unreadable("is not a 32-bit integer");
    Refusal r = checkRange(v, lo, hi);
    if (r.why.empty()) out = v;
    return r;
}

// A double stored as float: finite and within the float range, then [lo, hi].
Refusal readFloat(const std::string& text, float& out, double lo, double hi) {
    double v = 0;
    if (!parseDouble(text, v)) return unreadable("is not a number");
    if (!std::isfinite(v)) return unreadable("is not a finite number");
    if (std::fabs(v) > double(std::numeric_limits<float>::max())) return unreadable("is beyond the float range");
    Refusal r = checkRange(v, lo, hi);
    if (r.why.empty()) out = float(v);
    return r;
}

Refusal readBool(const std::string& text, bool& out) {
    int v = 0;
    Refusal r = readInt(text, v, -HUGE_VAL, HUGE_VAL);
    if (r.why.empty()) out = v != 0;
    return r;
}

// A value as messages show it: in quotes, long ones cut short with their length.
std::string quoted(const std::string& value) {
    const size_t kShown = 60;
    if (value.size() <= kShown) return "\"" + value + "\"";
    return "\"" + value.substr(0, kShown) + "...\" (" + std::to_string(value.size()) + " characters)";
}

// The pieces of a text between commas, empty ones dropped.
std::vector<std::string> commaPieces(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

// One struct per scalar type word: its XML value text (also that of each array element), its
// reading (false when unreadable, leaving the variable alone), its console forms and its reset value.
// show is the value in the bracket echo, showIni what follows " = " in the INI echo, showElement
// one element of an array in either echo.
struct StringKind {
    using Value = std::string;
    static std::string text(const std::string& s) { return validUtf8(s); }
    static Refusal read(const std::string& text, std::string& out, double, double) {
        std::string value = validUtf8(text);
        if (value.size() > size_t(xmlParam::kMaxStringLength))
            return {false, "is longer than " + std::to_string(xmlParam::kMaxStringLength) + " characters"};
        out = std::move(value);
        return {};
    }
    static void show(std::ostream& os, const std::string& s) { os << s; }
    static void showIni(std::ostream& os, const std::string& s) { os << '"' << s << '"'; }
    static void showElement(std::ostream& os, const std::string& s) { os << '"' << s << '"'; }
    static std::string reset() { return std::string(); }
};

struct BoolKind {
    using Value = bool;
    static std::string text(bool b) { return b ? "1" : "0"; }
    static Refusal read(const std::string& text, bool& out, double, double) { return readBool(text, out); }
    static void show(std::ostream& os, bool b) { os << (b ? "true" : "false"); }
    static void showIni(std::ostream& os, bool b) { show(os, b); }
    static void showElement(std::ostream& os, bool b) { os << (b ? 1 : 0); }
    static bool reset() { return false; }
};

struct FloatKind {
    using Value = float;
    static std::string text(float f) { return numberText(double(f), 6); }
    static Refusal read(const std::string& text, float& out, double lo, double hi) {
        return readFloat(text, out, lo, hi);
    }
    static void show(std::ostream& os, float f) { os << f; }
    static void showIni(std::ostream& os, float f) { os << f; }
    static void showElement(std::ostream& os, float f) { os << f; }
    static float reset() { return -1.0f; }
};

struct IntKind {
    using Value = int;
    static std::string text(int n) { return std::to_string(n); }
    static Refusal read(const std::string& text, int& out, double lo, double hi) { return readInt(text, out, lo, hi); }
    static void show(std::ostream& os, int n) { os << n; }
    static void showIni(std::ostream& os, int n) { os << n; }
    static void showElement(std::ostream& os, int n) { os << n; }
    static int reset() { return -1; }
};

}  // namespace

class ParamBinding {
public:
    virtual ~ParamBinding() = default;
    // The value text of the parameter file.
    virtual std::string text() const = 0;
    // Stores the value of an element's text, or keeps the variable and says why not; lo and hi
    // bound numeric values.
    virtual Refusal read(const std::string& text, double lo, double hi) const = 0;
    // The value in the bracket form, brackets included.
    virtual void echo(std::ostream& os) const = 0;
    // What follows the name in the INI form.
    virtual void echoIni(std::ostream& os) const = 0;
    virtual void reset() const = 0;
};

namespace {

template <class Kind>
class ScalarBinding final : public ParamBinding {
public:
    explicit ScalarBinding(void* variable) : value_(static_cast<typename Kind::Value*>(variable)) {}
    std::string text() const override { return Kind::text(*value_); }
    Refusal read(const std::string& text, double lo, double hi) const override {
        return Kind::read(text, *value_, lo, hi);
    }
    void echo(std::ostream& os) const override {
        os << "[";
        Kind::show(os, *value_);
        os << "]";
    }
    void echoIni(std::ostream& os) const override {
        os << " = ";
        Kind::showIni(os, *value_);
    }
    void reset() const override { *value_ = Kind::reset(); }

private:
    typename Kind::Value* value_;
};

template <class Kind>
class ArrayBinding final : public ParamBinding {
public:
    using Values = std::vector<typename Kind::Value>;
    explicit ArrayBinding(void* variable) : values_(static_cast<Values*>(variable)) {}

    // Every element followed by ",", every element after the first preceded by ",".
    std::string text() const override {
        std::string text;
        for (size_t i = 0; i < values_->size(); ++i) {
            if (i > 0) text += ',';
            text += Kind::text((*values_)[i]);
            text += ',';
        }
        return text;
    }
    // The pieces between commas (empty ones dropped); all or nothing.
    Refusal read(const std::string& text, double lo, double hi) const override {
        Values values;
        for (const std::string& piece : commaPieces(text)) {
            typename Kind::Value v{};
            Refusal r = Kind::read(piece, v, lo, hi);
            if (!r.why.empty()) {
                r.why = "holds " + quoted(validUtf8(piece)) + ", which " + r.why;
                return r;
            }
            values.push_back(v);
        }
        *values_ = std::move(values);
        return {};
    }
    void echo(std::ostream& os) const override {
        os << "[";
        echoElements(os);
        os << "]";
    }
    void echoIni(std::ostream& os) const override {
        os << "TypeFA = \"";
        echoElements(os);
        os << "\"";
    }
    void reset() const override { values_->clear(); }

private:
    void echoElements(std::ostream& os) const {
        for (size_t i = 0; i < values_->size(); ++i) {
            if (i > 0) os << ",";
            Kind::showElement(os, (*values_)[i]);
        }
    }

    Values* values_;
};

// The binding of a type word, or null for a word the store does not know.
std::shared_ptr<const ParamBinding> makeBinding(const std::string& type, void* variable) {
    if (type == "string") return std::make_shared<ScalarBinding<StringKind>>(variable);
    if (type == "bool") return std::make_shared<ScalarBinding<BoolKind>>(variable);
    if (type == "float") return std::make_shared<ScalarBinding<FloatKind>>(variable);
    if (type == "int") return std::make_shared<ScalarBinding<IntKind>>(variable);
    if (type == "stringArray") return std::make_shared<ArrayBinding<StringKind>>(variable);
    if (type == "boolArray") return std::make_shared<ArrayBinding<BoolKind>>(variable);
    if (type == "floatArray") return std::make_shared<ArrayBinding<FloatKind>>(variable);
    if (type == "intArray") return std::make_shared<ArrayBinding<IntKind>>(variable);
    return nullptr;
}

}  // namespace

xmlParam::xmlParam() : topName_("libXMLParam") {}

xmlParam::xmlParam(const char* topName) : topName_(topName ? topName : "libXMLParam") {}

void xmlParam::addParam(std::string name, std::string type, void* variable, const char* description) {
    Entry entry;
    entry.binding = makeBinding(type, variable);
    entry.name = std::move(name);
    entry.type = std::move(type);
    entry.description = description ? description : "";
    entry.lo = -HUGE_VAL;
    entry.hi = HUGE_VAL;
    entries_.push_back(std::move(entry));
}

void xmlParam::setRange(const std::string& name, double lo, double hi) {
    for (Entry& entry : entries_)
        if (entry.name == name) {
            entry.lo = lo;
            entry.hi = hi;
        }
}

std::string xmlParam::checkParamFile(const char* fileName) {
    XmlDocument document;
    if (!readParamXML(fileName, document)) return readError_;
    const std::string& root = document.documentElement().name;
    if (root == validUtf8(topName_)) return std::string();
    return "not a parameter file (its root element is <" + utf16Left(root, 60) + ">, not <" + topName_ + ">)";
}

void xmlParam::addOptionalParam(std::string name, std::string type, void* variable, const char* description) {
    addParam(std::move(name), std::move(type), variable, description);
    entries_.back().optional = true;
}

std::string xmlParam::getTopName() const { return topName_; }

void xmlParam::printUsage(const char* programName) {
    logOut() << "Usage: " << (programName ? programName : "") << " [options] <filename>" << std::endl;
    logOut() << std::endl;
    logOut() << "Options:" << std::endl;
    logOut() << "  -w  <outfile>     Write out the parameters to a sample XML file" << std::endl;
    logOut() << "  <infile>          Read parameters from input XML file" << std::endl;
    logOut() << std::endl;
}

bool xmlParam::initParamXML(int argc, char* const argv[]) {
    wroteParameterFile_ = false;
    if (argc < 2 || !argv || !argv[1]) {
        printUsage(argv && argc > 0 ? argv[0] : nullptr);
        return false;
    }
    XmlDocument document(validUtf8(topName_));
    const std::string option = argv[1];

    if (option == "-w") {
        if (argc == 3) {
            XmlDocument written = makeParamXML();
            wroteParameterFile_ = writeParamXML(argv[2], written);
            if (wroteParameterFile_)
                logOut() << "Wrote parameters to " << argv[2] << "." << std::endl;
            else
                logErr() << "Could not write parameters to " << argv[2] << "." << std::endl;
        } else if (argc > 3) {
            printUsage(argv[0]);
        }
        return false;
    }

    bool batch = false;
    const char* fileName = argv[1];
    if (option == "-b") {
        if (argc < 3) {
            logErr() << "Need an input file to process in batch mode!" << std::endl;
            return false;
        }
        batch = true;
        fileName = argv[2];
    }

    if (!readParamXML(fileName, document))
        logErr() << "Couldn't read parameters from " << fileName << "." << std::endl;
    loadParamXML(document);
    printParams();

    if (batch) return true;
    logOut() << std::endl;
    logOut() << "Start Processing? (y/n): " << std::flush;
    char answer = 0;
    std::cin >> answer;
    return answer == 'y' || answer == 'Y';
}

bool xmlParam::readParamXML(const char* fileName, XmlDocument& document) {
    const std::string path = fileName ? fileName : "";
    fileName_ = path;
    readError_.clear();
    // A directory can be opened for reading on some systems; it is not a parameter file.
    struct stat info;
    FILE* file = ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? nullptr : std::fopen(path.c_str(), "rb");
    if (!file) {
        readError_ = "cannot open it";
        logOut() << "Could not open file " << path << "!" << std::endl;
        return false;
    }
    // Read at most one byte past the limit so that endless devices and huge files are refused.
    std::string content;
    char buffer[65536];
    while (int64_t(content.size()) <= kMaxFileSize) {
        const int64_t left = kMaxFileSize + 1 - int64_t(content.size());
        const size_t wanted = size_t(std::min<int64_t>(int64_t(sizeof buffer), left));
        const size_t n = std::fread(buffer, 1, wanted, file);
        content.append(buffer, n);
        if (n < wanted) break;
    }
    std::fclose(file);
    return readParamXMLText(content, fileName, document);
}

bool xmlParam::readParamXMLText(const std::string& content, const char* fileName, XmlDocument& document) {
    fileName_ = fileName ? fileName : "";
    readError_.clear();
    XmlDocument parsed;
    XmlParseError error;
    if (int64_t(content.size()) > kMaxFileSize) {
        readError_ = "it is larger than " + std::to_string(kMaxFileSize) + " bytes";
    } else if (!parsed.setContent(content, &error, kMaxNesting)) {
        // Reading stops at the first element below the limit, so deep files cost no stack.
        if (error.tooDeep) {
            logErr() << "Error in xmlParam::readParamXML(): elements are nested deeper than " << kMaxNesting
                     << " levels in " << fileName_ << "." << std::endl;
            readError_ = "its elements are nested deeper than " + std::to_string(kMaxNesting) + " levels";
        } else {
            readError_ = "not a parameter file (no well-formed XML: " + error.message + " at line " +
                         std::to_string(error.line) + ", column " + std::to_string(error.column) + ")";
        }
    }
    if (!readError_.empty()) {
        logOut() << "Could not parse XML file " << fileName_ << "!" << std::endl;
        return false;
    }
    document = std::move(parsed);
    return true;
}

bool xmlParam::writeParamXML(const char* fileName, XmlDocument& document) {
    FILE* file = std::fopen(fileName ? fileName : "", "wb");
    if (!file) {
        logOut() << "Could not open file " << (fileName ? fileName : "") << " for writing!" << std::endl;
        return false;
    }
    // No encoding declaration is written, so readers assume UTF-8, which the text is.
    const std::string text = document.toString(1) + "\n";
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

XmlDocument xmlParam::makeParamXML() {
    XmlDocument document(validUtf8(topName_));
    XmlNode root = XmlNode::element(validUtf8(topName_));
    for (const Entry& entry : entries_) {
        XmlNode element = XmlNode::element(validUtf8(entry.name));
        element.setAttribute("type", validUtf8(entry.type));
        element.children.push_back(XmlNode::leaf(XmlNode::Kind::Text, entry.binding ? entry.binding->text() : ""));
        if (!entry.description.empty())
            element.children.push_back(XmlNode::leaf(XmlNode::Kind::Comment, validUtf8(entry.description)));
        root.children.push_back(std::move(element));
    }
    document.nodes().push_back(std::move(root));
    return document;
}

void xmlParam::loadParamXML(XmlDocument& document) {
    problems_.clear();
    for (const Entry& entry : entries_) {
        const std::vector<const XmlNode*> found = document.elementsByTagName(validUtf8(entry.name));
        if (found.size() != 1) {
            if (found.empty() && entry.optional) continue;
            logOut() << "Could not find element " << entry.name << "!" << std::endl;
            continue;
        }
        const std::string text = found[0]->text();
        if (!entry.binding) continue;
        const Refusal refusal = entry.binding->read(text, entry.lo, entry.hi);
        if (refusal.why.empty()) continue;
        const std::string value = quoted(text);
        if (refusal.unreadable)
            logErr() << "Error in xmlParam::loadParamXML(): unreadable number " << value << " for " << entry.name
                     << "; its value is kept." << std::endl;
        else
            logErr() << "Error in xmlParam::loadParamXML(): the value " << value << " of " << entry.name << " "
                     << refusal.why << "; its value is kept." << std::endl;
        problems_.push_back("parameter " + entry.name + " in " + (fileName_.empty() ? "the document" : fileName_) +
                            ": " + value + " " + refusal.why);
    }
}

std::string xmlParam::typeOf(const std::string& name) const {
    for (const Entry& entry : entries_)
        if (entry.name == name) return entry.type;
    return std::string();
}

std::string xmlParam::setParamText(const std::string& name, const std::string& text) {
    for (const Entry& entry : entries_) {
        if (entry.name != name) continue;
        if (!entry.binding) return "parameter " + name + " has the unknown type " + entry.type;
        const Refusal refusal = entry.binding->read(validUtf8(text), entry.lo, entry.hi);
        if (refusal.unreadable)
            return "unreadable value \"" + text + "\" for " + name + " (type " + entry.type + ")";
        if (!refusal.why.empty()) return "the value \"" + text + "\" of " + name + " " + refusal.why;
        return std::string();
    }
    return "unknown parameter " + name;
}

void xmlParam::printParams() {
    for (const Entry& entry : entries_) {
        std::ostream& out = logOut();
        out << "Parameter [" << entry.name << "]: ";
        if (!entry.binding) continue;  // unknown type word: prefix only, no line end
        entry.binding->echo(out);
        out << std::endl;
    }
}

void xmlParam::printParamsINI() {
    for (const Entry& entry : entries_) {
        std::ostream& out = logOut();
        out << entry.name;
        if (!entry.binding) continue;  // unknown type word: name only, no line end
        entry.binding->echoIni(out);
        out << std::endl;
    }
}

void xmlParam::resetParams() {
    for (const Entry& entry : entries_) {
        if (entry.binding) entry.binding->reset();
    }
}

}  // namespace veltrix
