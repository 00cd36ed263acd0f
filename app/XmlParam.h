#pragma once
#include "app/XmlDocument.h"

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace veltrix {

// Reads, writes, echoes and resets one bound variable; one implementation per type word.
class ParamBinding;

// A typed parameter store: binds names to variables owned by the caller and moves their values
// between those variables, an XML parameter file and the console.
//
// Type words and the variable each binding must point at:
//   "string" std::string          "stringArray" std::vector<std::string>
//   "bool"   bool                 "boolArray"   std::vector<bool>
//   "float"  float                "floatArray"  std::vector<float>
//   "int"    int                  "intArray"    std::vector<int>
// An entry with any other type word is kept but skipped by every operation. The store never owns
// the variables; they must outlive its use. Entries are visited in registration order.
class xmlParam {
public:
    xmlParam();
    explicit xmlParam(const char* topName);
    xmlParam(const xmlParam& other) = default;
    xmlParam& operator=(const xmlParam& other) = default;
    ~xmlParam() = default;

    // Appends one entry; a null description is stored as empty. No argument is checked.
    void addParam(std::string name, std::string type, void* variable, const char* description = nullptr);
    // The same for an entry that files written before it existed leave out: a missing element
    // keeps the variable unchanged without a message.
    void addOptionalParam(std::string name, std::string type, void* variable, const char* description = nullptr);
    // The same with the type word taken from the variable's type, so that a binding cannot name
    // the wrong one (a variable of any other type does not compile).
    template <class T>
    void addParam(std::string name, T* variable, const char* description = nullptr) {
        addParam(std::move(name), typeWord<T>(), variable, description);
    }
    template <class T>
    void addOptionalParam(std::string name, T* variable, const char* description = nullptr) {
        addOptionalParam(std::move(name), typeWord<T>(), variable, description);
    }
    // Limits a registered numeric entry (every element of an array entry) to [lo, hi]: a value
    // outside is refused as an unreadable one is, and the variable keeps its value.
    void setRange(const std::string& name, double lo, double hi);
    std::string getTopName() const;

    // Command-line handling: usage, "-w <outfile>", "-b <infile>" (no prompt) or "<infile>"
    // (read, then ask). True means the program goes on to run.
    bool initParamXML(int argc, char* const argv[]);
    // True when the last initParamXML was "-w <outfile>" and wrote the file.
    bool wroteParameterFile() const { return wroteParameterFile_; }

    // Parses the file into the document; on failure the document is left as it was and
    // readError() says why.
    bool readParamXML(const char* fileName, XmlDocument& document);
    // The same for the contents of a file; fileName names it in messages.
    bool readParamXMLText(const std::string& content, const char* fileName, XmlDocument& document);
    std::string readError() const { return readError_; }
    // Reads the file only to check it: empty when it is a well-formed document whose root element
    // carries the top name, as every parameter file does; otherwise why it is not (readError()
    // for a file that cannot be read or parsed). No variable changes.
    std::string checkParamFile(const char* fileName);
    // Writes the document's text form (1-space indentation) and a line end, replacing the file.
    bool writeParamXML(const char* fileName, XmlDocument& document);
    // Builds a document holding the current value of every entry.
    XmlDocument makeParamXML();
    // Copies values from the document into the bound variables; an element that is missing or
    // occurs more than once is reported and leaves its variable unchanged. So does a value that is
    // not a finite number of the entry's type (the whole text), lies outside the entry's range or
    // is a string longer than kMaxStringLength; those are also listed in problems().
    void loadParamXML(XmlDocument& document);
    // The values the last loadParamXML refused, one line each naming the parameter, the file last
    // read by readParamXML and the value (long values shortened).
    const std::vector<std::string>& problems() const { return problems_; }

    // The type word of the entry of that name; empty when no entry has it.
    std::string typeOf(const std::string& name) const;
    // Stores a value given as its parameter-file text in the variable bound to name. Returns an
    // empty string on success, otherwise the reason (no such entry, unreadable value); the variable
    // then keeps its value.
    std::string setParamText(const std::string& name, const std::string& text);

    void printParams();     // "Parameter [name]: [value]" lines
    void printParamsINI();  // "name = value" lines
    // Strings and arrays become empty, bools false, floats -1 and ints -1.
    void resetParams();
    // The usage text of initParamXML.
    void printUsage(const char* programName);

    // Largest parameter file that readParamXML accepts, in bytes.
    static constexpr int64_t kMaxFileSize = 64 * 1024 * 1024;
    // Deepest element nesting a readable file may have (the parameter file itself needs two).
    static constexpr int kMaxNesting = 256;
    // Longest string value (and string array element) that is taken, in bytes: longer than any path.
    static constexpr int kMaxStringLength = 4096;

private:
    template <class T>
    static std::string typeWord() {
        if constexpr (std::is_same_v<T, std::string>) return "string";
        else if constexpr (std::is_same_v<T, bool>) return "bool";
        else if constexpr (std::is_same_v<T, float>) return "float";
        else if constexpr (std::is_same_v<T, int>) return "int";
        else if constexpr (std::is_same_v<T, std::vector<std::string>>) return "stringArray";
        else if constexpr (std::is_same_v<T, std::vector<bool>>) return "boolArray";
        else if constexpr (std::is_same_v<T, std::vector<float>>) return "floatArray";
        else {
            static_assert(std::is_same_v<T, std::vector<int>>, "a parameter is a string, bool, float, int or a vector of one");
            return "intArray";
        }
    }

    struct Entry {
        std::string name;
        std::string type;                        // the registered type word, written as attribute
        std::shared_ptr<const ParamBinding> binding;  // null for an unknown type word
        std::string description;
        bool optional = false;
        double lo, hi;  // range of numeric values; infinite bounds when none was set
    };

    std::vector<Entry> entries_;
    std::string topName_;
    std::string fileName_;   // the file last read, named in problems
    std::string readError_;  // why the last readParamXML failed
    std::vector<std::string> problems_;
    bool wroteParameterFile_ = false;
};

}  // namespace veltrix
