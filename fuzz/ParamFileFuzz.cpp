// Feeds arbitrary bytes to the parameter-file reader: reading and loading must not crash, hang or
// overflow the stack, and a file that cannot be read leaves every bound variable as it was.

#include <cstdint>
#include <string>
#include <vector>

#include "FuzzShape.h"
#include "app/XmlParam.h"

using namespace veltrix;

namespace {

// One variable of every parameter type, at fixed starting values.
struct Bound {
    std::string s = "s";
    bool b = true;
    float f = 0.5f;
    int i = 7;
    std::vector<std::string> sa{"a"};
    std::vector<bool> ba{true};
    std::vector<float> fa{0.7f, 1.0f};
    std::vector<int> ia{3};
    bool operator==(const Bound& o) const {
        return s == o.s && b == o.b && f == o.f && i == o.i && sa == o.sa && ba == o.ba && fa == o.fa && ia == o.ia;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzzRoot() + "params.xml";
    writeFile(path, data, size);
    Bound v;
    xmlParam store;
    store.addParam("s", &v.s);
    store.addParam("b", &v.b);
    store.addParam("f", &v.f);
    store.addParam("i", &v.i);
    store.addParam("sa", &v.sa);
    store.addParam("ba", &v.ba);
    store.addParam("fa", &v.fa);
    store.addParam("ia", &v.ia);
    QuietConsole quiet;
    XmlDocument document;
    const bool read = store.readParamXML(path.c_str(), document);
    store.loadParamXML(document);
    if (!read) require(v == Bound());
    store.printParams();
    return 0;
}
