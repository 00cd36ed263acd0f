// Feeds arbitrary bytes to the spin-images-file reader: no crash, no read past the end, no
// allocation beyond the file, and a rejected file leaves the images as they were.
#include "FuzzShape.h"

using namespace veltrix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<ShapeModel> shape = fuzzShape(fuzzRoot());
    static const std::string path = shape->spinImagesPath();
    writeFile(path, data, size);

    SpinImageStack before;
    before.binSize = 0.5f;
    before.imageWidth = 2;
    before.supportAngle = 30.0f;
    before.expectedOverlap = 1.0f;
    before.images.assign(3, SpinImage(2, std::vector<float>{1.0f, 2.0f}));
    shape->spinImages = before;
    bool ok;
    {
        QuietConsole quiet;
        ok = loadSpinImages(*shape);
    }
    const SpinImageStack& s = shape->spinImages;
    if (ok) {
        const int W = s.imageWidth;
        require(W > 0 && s.images.size() == 3);
        // The file held exactly the header and three W x W images.
        require(size == 20 + size_t(3) * size_t(W) * size_t(W) * 4);
        for (const SpinImage& image : s.images) {
            require(int(image.size()) == W);
            for (const auto& row : image) require(int(row.size()) == W);
        }
    } else {
        require(s.binSize == before.binSize && s.imageWidth == before.imageWidth);
        require(s.supportAngle == before.supportAngle && s.expectedOverlap == before.expectedOverlap);
        require(s.images == before.images);
    }
    return 0;
}
