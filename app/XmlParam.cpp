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

namespace {

QString fromLocal(const std::string& s) { return QString::fromLocal8Bit(s.data(), int(s.size())); }

std::string toLocal(const QString& s) { return s.toLocal8Bit().toStdString(); }

// Decimal integer; false when unreadable (including out of range).
bool readInt(const QString& text, int& out) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    if (ok) out = v;
    return ok;
}

// A double stored as float; false when unreadable. A finite value beyond the float range cannot
// be stored, so it counts as unreadable too.
bool readFloat(const QString& text, float& out) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok) return false;
    if (std::isfinite(v) && std::fabs(v) > double(std::numeric_limits<float>::max())) return false;
    out = float(v);
    return true;
}

// Every piece read by `read`, or false (leaving out alone) when one of them is unreadable.
template <typename T, typename Read>
bool readArray(const QStringList& pieces, std::vector<T>& out, Read read) {
    std::vector<T> values;
    for (const QString& p : pieces) {
        T v{};
        if (!read(p, v)) return false;
        values.push_back(v);
    }
    out = std::move(values);
    return true;
}

bool readBool(const QString& text, bool& out) {
    int v = 0;
    if (!readInt(text, v)) return false;
    out = v != 0;
    return true;
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

// Array text: every element followed by ",", every element after the first preceded by ",".
template <typename T, typename Format>
QString arrayText(const std::vector<T>& values, Format format) {
    QString text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ',';
        text += format(values[i]);
        text += ',';
    }
    return text;
}

template <typename T>
void printJoined(const std::vector<T>& values, const char* quote) {
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) logOut() << ",";
        logOut() << quote << values[i] << quote;
    }
}

void printJoinedBools(const std::vector<bool>& values) {
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) logOut() << ",";
        logOut() << (values[i] ? 1 : 0);
    }
}

}  // namespace

xmlParam::xmlParam() : topName_("libXMLParam") {}

xmlParam::xmlParam(const char* topName) : topName_(topName ? topName : "libXMLParam") {}

void xmlParam::addParam(std::string name, std::string type, void* variable, const char* description) {
    names_.push_back(std::move(name));
    types_.push_back(std::move(type));
    bindings_.push_back(variable);
    descriptions_.push_back(description ? description : "");
    optional_.push_back(false);
}

void xmlParam::addOptionalParam(std::string name, std::string type, void* variable, const char* description) {
    addParam(std::move(name), std::move(type), variable, description);
    optional_.back() = true;
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
    if (argc < 2 || !argv || !argv[1]) {
        printUsage(argv && argc > 0 ? argv[0] : nullptr);
        return false;
    }
    QDomDocument document(fromLocal(topName_));
    const std::string option = argv[1];

    if (option == "-w") {
        if (argc == 3) {
            QDomDocument written = makeParamXML();
            if (writeParamXML(argv[2], written))
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
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        logOut() << "Could not open file " << (fileName ? fileName : "") << "!" << std::endl;
        return false;
    }
    // Read at most one byte past the limit so that endless devices and huge files are refused.
    const QByteArray content = file.read(kMaxFileSize + 1);
    QDomDocument parsed;
    // The document builder recurses once per level; deeper files would exhaust the stack.
    const bool tooDeep = content.size() <= kMaxFileSize && nestingDepth(content, kMaxNesting) > kMaxNesting;
    if (tooDeep)
        logErr() << "Error in xmlParam::readParamXML(): elements are nested deeper than " << kMaxNesting
                  << " levels in " << fileName << "." << std::endl;
    if (content.size() > kMaxFileSize || tooDeep || !parsed.setContent(content)) {
        file.close();
        logOut() << "Could not parse XML file " << fileName << "!" << std::endl;
        return false;
    }
    file.close();
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

    for (size_t i = 0; i < names_.size(); ++i) {
        const std::string& type = types_[i];
        const void* v = bindings_[i];
        QString text;
        if (type == "string") {
            text = fromLocal(*static_cast<const std::string*>(v));
        } else if (type == "bool") {
            text = *static_cast<const bool*>(v) ? "1" : "0";
        } else if (type == "float") {
            text = floatText(*static_cast<const float*>(v));
        } else if (type == "int") {
            text = QString::number(*static_cast<const int*>(v));
        } else if (type == "stringArray") {
            text = arrayText(*static_cast<const std::vector<std::string>*>(v), fromLocal);
        } else if (type == "boolArray") {
            text = arrayText(*static_cast<const std::vector<bool>*>(v),
                             [](bool b) { return QString(b ? "1" : "0"); });
        } else if (type == "floatArray") {
            text = arrayText(*static_cast<const std::vector<float>*>(v), floatText);
        } else if (type == "intArray") {
            text = arrayText(*static_cast<const std::vector<int>*>(v), [](int n) { return QString::number(n); });
        }

        QDomElement element = document.createElement(fromLocal(names_[i]));
        element.setAttribute("type", fromLocal(type));
        root.appendChild(element);
        element.appendChild(document.createTextNode(text));
        if (!descriptions_[i].empty()) element.appendChild(document.createComment(fromLocal(descriptions_[i])));
    }
    return document;
}

void xmlParam::loadParamXML(QDomDocument& document) {
    for (size_t i = 0; i < names_.size(); ++i) {
        const std::string& name = names_[i];
        const std::string& type = types_[i];
        void* v = bindings_[i];

        const QDomNodeList found = document.elementsByTagName(fromLocal(name));
        if (found.count() != 1) {
            if (found.count() == 0 && optional_[i]) continue;
            logOut() << "Could not find element " << name << "!" << std::endl;
            continue;
        }
        const QString text = found.at(0).toElement().text();

        bool readable = true;
        if (type == "string") {
            *static_cast<std::string*>(v) = toLocal(text);
        } else if (type == "bool") {
            readable = readBool(text, *static_cast<bool*>(v));
        } else if (type == "float") {
            readable = readFloat(text, *static_cast<float*>(v));
        } else if (type == "int") {
            readable = readInt(text, *static_cast<int*>(v));
        } else {
            const QStringList pieces = text.split(',', Qt::SkipEmptyParts);
            if (type == "stringArray") {
                auto& a = *static_cast<std::vector<std::string>*>(v);
                a.clear();
                for (const QString& p : pieces) a.push_back(toLocal(p));
            } else if (type == "boolArray") {
                // std::vector<bool> has no references to its elements: read into ints first.
                std::vector<int> ints;
                readable = readArray(pieces, ints, [](const QString& p, int& out) { return readInt(p, out); });
                if (readable) {
                    auto& a = *static_cast<std::vector<bool>*>(v);
                    a.assign(ints.size(), false);
                    for (size_t k = 0; k < ints.size(); ++k) a[k] = ints[k] != 0;
                }
            } else if (type == "floatArray") {
                readable = readArray(pieces, *static_cast<std::vector<float>*>(v),
                                     [](const QString& p, float& out) { return readFloat(p, out); });
            } else if (type == "intArray") {
                readable = readArray(pieces, *static_cast<std::vector<int>*>(v),
                                     [](const QString& p, int& out) { return readInt(p, out); });
            }
        }
        if (!readable)
            logErr() << "Error in xmlParam::loadParamXML(): unreadable number \"" << toLocal(text) << "\" for "
                      << name << "; its value is kept." << std::endl;
    }
}

void xmlParam::printParams() {
    for (size_t i = 0; i < names_.size(); ++i) {
        const std::string& type = types_[i];
        const void* v = bindings_[i];
        logOut() << "Parameter [" << names_[i] << "]: ";
        if (type == "string") {
            logOut() << "[" << *static_cast<const std::string*>(v) << "]";
        } else if (type == "bool") {
            logOut() << "[" << (*static_cast<const bool*>(v) ? "true" : "false") << "]";
        } else if (type == "float") {
            logOut() << "[" << *static_cast<const float*>(v) << "]";
        } else if (type == "int") {
            logOut() << "[" << *static_cast<const int*>(v) << "]";
        } else if (type == "stringArray") {
            logOut() << "[";
            printJoined(*static_cast<const std::vector<std::string>*>(v), "\"");
            logOut() << "]";
        } else if (type == "boolArray") {
            logOut() << "[";
            printJoinedBools(*static_cast<const std::vector<bool>*>(v));
            logOut() << "]";
        } else if (type == "floatArray") {
            logOut() << "[";
            printJoined(*static_cast<const std::vector<float>*>(v), "");
            logOut() << "]";
        } else if (type == "intArray") {
            logOut() << "[";
            printJoined(*static_cast<const std::vector<int>*>(v), "");
            logOut() << "]";
        } else {
            continue;  // unknown type word: prefix only, no line end
        }
        logOut() << std::endl;
    }
}

void xmlParam::printParamsINI() {
    for (size_t i = 0; i < names_.size(); ++i) {
        const std::string& type = types_[i];
        const void* v = bindings_[i];
        logOut() << names_[i];
        if (type == "string") {
            logOut() << " = \"" << *static_cast<const std::string*>(v) << "\"";
        } else if (type == "bool") {
            logOut() << (*static_cast<const bool*>(v) ? " = true" : " = false");
        } else if (type == "float") {
            logOut() << " = " << *static_cast<const float*>(v);
        } else if (type == "int") {
            logOut() << " = " << *static_cast<const int*>(v);
        } else if (type == "stringArray") {
            logOut() << "TypeFA = \"";
            printJoined(*static_cast<const std::vector<std::string>*>(v), "\"");
            logOut() << "\"";
        } else if (type == "boolArray") {
            logOut() << "TypeFA = \"";
            printJoinedBools(*static_cast<const std::vector<bool>*>(v));
            logOut() << "\"";
        } else if (type == "floatArray") {
            logOut() << "TypeFA = \"";
            printJoined(*static_cast<const std::vector<float>*>(v), "");
            logOut() << "\"";
        } else if (type == "intArray") {
            logOut() << "TypeFA = \"";
            printJoined(*static_cast<const std::vector<int>*>(v), "");
            logOut() << "\"";
        } else {
            continue;  // unknown type word: name only, no line end
        }
        logOut() << std::endl;
    }
}

void xmlParam::resetParams() {
    for (size_t i = 0; i < names_.size(); ++i) {
        const std::string& type = types_[i];
        void* v = bindings_[i];
        if (type == "string") *static_cast<std::string*>(v) = std::string();
        else if (type == "bool") *static_cast<bool*>(v) = false;
        else if (type == "float") *static_cast<float*>(v) = -1.0f;
        else if (type == "int") *static_cast<int*>(v) = -1;
        else if (type == "stringArray") static_cast<std::vector<std::string>*>(v)->clear();
        else if (type == "boolArray") static_cast<std::vector<bool>*>(v)->clear();
        else if (type == "floatArray") static_cast<std::vector<float>*>(v)->clear();
        else if (type == "intArray") static_cast<std::vector<int>*>(v)->clear();
    }
}
