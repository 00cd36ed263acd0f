// Feeds arbitrary bytes to the frames-file reader: it must not crash, read past the end or
// allocate beyond the file, and a rejected file leaves the shape as it was (apart from the
// description without a file name, which clears the frames as its message says).
#include <cstring>

#include "FuzzShape.h"

using namespace veltrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<ShapeModel> shape = fuzzShape(fuzzRoot());
    static const std::string path = shape->framesPath();
    writeFile(path, data, size);

    shape->scales = {1.0f};
    shape->frames.assign(3, std::vector<PrincipalFrame>(1));
    shape->frames[1][0].maxCurvature = 5.0f;
    bool ok;
    {
        QuietConsole quiet;
        ok = loadFrames(*shape);
    }
    if (ok) {
        require(shape->frames.size() == 3);
        require(!shape->scales.empty());
        for (const auto& fs : shape->frames) require(fs.size() == shape->scales.size());
    } else if (!shape->frames.empty()) {
        require(shape->scales == std::vector<float>{1.0f});
        require(shape->frames.size() == 3 && shape->frames[1][0].maxCurvature == 5.0f);
    } else {
        require(shape->scales.empty());
    }
    return 0;
}
