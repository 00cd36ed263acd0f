// Feeds arbitrary bytes to the features-file reader: no crash, no read past the end, no
// allocation beyond the file, and a rejected file leaves the features as they were.
#include "geometry/Features.h"
#include "FuzzShape.h"

using namespace veltrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<ShapeModel> shape = fuzzShape(fuzzRoot());
    static const std::string path = shape->featuresPath();
    writeFile(path, data, size);

    shape->features.reset(new FeatureSetANN(2));
    shape->features->resize(3);
    shape->features->point(2) = {7.0f, 8.0f};
    shape->featureScales = {1.0f, 2.0f};
    bool ok;
    {
        QuietConsole quiet;
        ok = loadFeatures(*shape);
    }
    if (ok) {
        require(shape->features && shape->features->size() == 3);
        const int d = shape->features->dimension();
        require(d > 0 && static_cast<int>(shape->featureScales.size()) == d);
        for (int i = 0; i < 3; ++i) require(static_cast<int>(shape->features->point(i).size()) == d);
    } else {
        require(shape->features && shape->features->dimension() == 2);
        require(shape->features->point(2) == std::vector<float>({7.0f, 8.0f}));
        require(shape->featureScales == std::vector<float>({1.0f, 2.0f}));
    }
    return 0;
}
