// Feeds arbitrary bytes to the correspondence-list reader: no crash, the lists stay parallel,
// and saving and reloading what was read gives the same number of pairs.
#include <cstdint>
#include <string>

#include "spatial/CorrespondenceList.h"
#include "FuzzShape.h"

using namespace veltrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzzRoot() + "pairs.txt";
    static const std::string again = fuzzRoot() + "pairs-again.txt";
    writeFile(path, data, size);
    QuietConsole quiet;
    CorrespondenceList list;
    require(list.load(path));
    const int n = list.size();
    require(list.targetPoints.size() == n && int(list.sourceIndices.size()) == n &&
            int(list.targetIndices.size()) == n);
    require(list.save(again));
    CorrespondenceList reloaded;
    require(reloaded.load(again));
    require(reloaded.size() == n);
    return 0;
}
