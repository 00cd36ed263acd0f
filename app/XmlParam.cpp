#include "XmlParam.h"
#include "Log.h"

#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QXmlStreamReader>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>

namespace {

QString fromLocal(const std::string& s) { return QString::fromLocal8Bit(s.data(), int(s.size())); }

std::string toLocal(const QString& s) { return s.toLocal8Bit().toStdString(); }

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
Refusal readInt(const QString& text, int& out, double lo, double hi) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    if (!ok) return unreadable("is not a 32-bit integer");
    Refusal r = checkRange(v, lo, hi);
    if (r.why.empty()) out = v;
    return r;
}

// A double stored as float: finite and within the float range, then [lo, hi].
Refusal readFloat(const QString& text, float& out, double lo, double hi) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok) return unreadable("is not a number");
    if (!std::isfinite(v)) return unreadable("is not a finite number");
    if (std::fabs(v) > double(std::numeric_limits<float>::max())) return unreadable("is beyond the float range");
    Refusal r = checkRange(v, lo, hi);
    if (r.why.empty()) out = float(v);
    return r;
}

Refusal readBool(const QString& text, bool& out) {
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

// Deepest element nesting of the document, counted without recursion; stops early once it
// passes limit. Malformed input ends the count where the reader stops.
int nestingDepth(const QByteArray& content, int limit) {
    QXmlStreamReader reader(content);
    int depth = 0, deepest = 0;
    while (!reader.atEnd() && deepest <= limit) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement)
            deepest = std::max(deepest, ++depth);
        else if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    return deepest;
}

QString floatText(float f) { return QString::number(double(f), 'g', 6); }

// One struct per scalar type word: its XML value text (also that of each array element), its
// reading (false when unreadable, leaving the variable alone), its console forms and its reset value.
// show is the value in the bracket echo, showIni what follows " = " in the INI echo, showElement
// one element of an array in either echo.
struct StringKind {
    using Value = std::string;
    static QString text(const std::string& s) { return fromLocal(s); }
    static Refusal read(const QString& text, std::string& out, double, double) {
        std::string value = toLocal(text);
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
    static QString text(bool b) { return b ? "1" : "0"; }
    static Refusal read(const QString& text, bool& out, double, double) { return readBool(text, out); }
    static void show(std::ostream& os, bool b) { os << (b ? "true" : "false"); }
    static void showIni(std::ostream& os, bool b) { show(os, b); }
    static void showElement(std::ostream& os, bool b) { os << (b ? 1 : 0); }
    static bool reset() { return false; }
};

struct FloatKind {
    using Value = float;
    static QString text(float f) { return floatText(f); }
    static Refusal read(const QString& text, float& out, double lo, double hi) {
        return readFloat(text, out, lo, hi);
    }
    static void show(std::ostream& os, float f) { os << f; }
    static void showIni(std::ostream& os, float f) { os << f; }
    static void showElement(std::ostream& os, float f) { os << f; }
    static float reset() { return -1.0f; }
};

struct IntKind {
    using Value = int;
    static QString text(int n) { return QString::number(n); }
    static Refusal read(const QString& text, int& out, double lo, double hi) { return readInt(text, out, lo, hi); }
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
    virtual QString text() const = 0;
    // Stores the value of an element's text, or keeps the variable and says why not; lo and hi
    // bound numeric values.
    virtual Refusal read(const QString& text, double lo, double hi) const = 0;
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
    QString text() const override { return Kind::text(*value_); }
    Refusal read(const QString& text, double lo, double hi) const override {
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
    QString text() const override {
        QString text;
        for (size_t i = 0; i < values_->size(); ++i) {
            if (i > 0) text += ',';
            text += Kind::text((*values_)[i]);
            text += ',';
        }
        return text;
    }
    // The pieces between commas (empty ones dropped); all or nothing.
    Refusal read(const QString& text, double lo, double hi) const override {
        Values values;
        for (const QString& piece : text.split(',', Qt::SkipEmptyParts)) {
            typename Kind::Value v{};
            Refusal r = Kind::read(piece, v, lo, hi);
            if (!r.why.empty()) {
                r.why = "holds " + quoted(toLocal(piece)) + ", which " + r.why;
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
    QDomDocument document;
    if (!readParamXML(fileName, document)) return readError_;
    const QString root = document.documentElement().tagName();
    if (root == fromLocal(topName_)) return std::string();
    return "not a parameter file (its root element is <" + toLocal(root.left(60)) + ">, not <" + topName_ + ">)";
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
    QDomDocument document(fromLocal(topName_));
    const std::string option = argv[1];

    if (option == "-w") {
        if (argc == 3) {
            QDomDocument written = makeParamXML();
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

bool xmlParam::readParamXML(const char* fileName, QDomDocument& document) {
    const QString path = QString::fromLocal8Bit(fileName ? fileName : "");
    QFile file(path);
    // A directory can be opened for reading on some systems; it is not a parameter file.
    fileName_ = fileName ? fileName : "";
    readError_.clear();
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        readError_ = "cannot open it";
        logOut() << "Could not open file " << (fileName ? fileName : "") << "!" << std::endl;
        return false;
    }
    // Read at most one byte past the limit so that endless devices and huge files are refused.
    const QByteArray content = file.read(kMaxFileSize + 1);
    file.close();
    return readParamXMLText(content.toStdString(), fileName, document);
}

bool xmlParam::readParamXMLText(const std::string& text, const char* fileName, QDomDocument& document) {
    const QByteArray content = QByteArray::fromStdString(text);
    fileName_ = fileName ? fileName : "";
    readError_.clear();
    QDomDocument parsed;
    // The document builder recurses once per level; deeper files would exhaust the stack.
    const bool tooDeep = content.size() <= kMaxFileSize && nestingDepth(content, kMaxNesting) > kMaxNesting;
    if (tooDeep)
        logErr() << "Error in xmlParam::readParamXML(): elements are nested deeper than " << kMaxNesting
                  << " levels in " << fileName_ << "." << std::endl;
    QString parseError;
    int line = 0, column = 0;
    if (content.size() > kMaxFileSize)
        readError_ = "it is larger than " + std::to_string(kMaxFileSize) + " bytes";
    else if (tooDeep)
        readError_ = "its elements are nested deeper than " + std::to_string(kMaxNesting) + " levels";
    else if (!parsed.setContent(content, &parseError, &line, &column))
        readError_ = "not a parameter file (no well-formed XML: " + toLocal(parseError) + " at line " +
                     std::to_string(line) + ", column " + std::to_string(column) + ")";
    if (!readError_.empty()) {
        logOut() << "Could not parse XML file " << fileName_ << "!" << std::endl;
        return false;
    }
    document = parsed;
    return true;
}

bool xmlParam::writeParamXML(const char* fileName, QDomDocument& document) {
    QFile file(QString::fromLocal8Bit(fileName ? fileName : ""));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        logOut() << "Could not open file " << (fileName ? fileName : "") << " for writing!" << std::endl;
        return false;
    }
    QTextStream out(&file);
    // No encoding declaration is written, so readers assume UTF-8.
    out.setCodec("UTF-8");
    out << document.toString(1) << "\n";
    out.flush();
    const bool ok = out.status() == QTextStream::Ok && file.error() == QFile::NoError;
    file.close();
    return ok;
}

QDomDocument xmlParam::makeParamXML() {
    QDomDocument document(fromLocal(topName_));
    QDomElement root = document.createElement(fromLocal(topName_));
    document.appendChild(root);

    for (const Entry& entry : entries_) {
        QDomElement element = document.createElement(fromLocal(entry.name));
        element.setAttribute("type", fromLocal(entry.type));
        root.appendChild(element);
        element.appendChild(document.createTextNode(entry.binding ? entry.binding->text() : QString()));
        if (!entry.description.empty()) element.appendChild(document.createComment(fromLocal(entry.description)));
    }
    return document;
}

void xmlParam::loadParamXML(QDomDocument& document) {
    problems_.clear();
    for (const Entry& entry : entries_) {
        const QDomNodeList found = document.elementsByTagName(fromLocal(entry.name));
        if (found.count() != 1) {
            if (found.count() == 0 && entry.optional) continue;
            logOut() << "Could not find element " << entry.name << "!" << std::endl;
            continue;
        }
        const QString text = found.at(0).toElement().text();
        if (!entry.binding) continue;
        const Refusal refusal = entry.binding->read(text, entry.lo, entry.hi);
        if (refusal.why.empty()) continue;
        const std::string value = quoted(toLocal(text));
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
        const Refusal refusal = entry.binding->read(fromLocal(text), entry.lo, entry.hi);
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
