// Linked into a test program, sends the libraries' console nowhere while its tests run, so that
// only gtest's report is printed. A test that checks a message captures it with LogCapture.
#include <gtest/gtest.h>

#include <ostream>
#include <streambuf>

#include "core/Log.h"

using namespace veltrix;

namespace {

class QuietLog : public testing::Environment {
public:
    void SetUp() override { setLogStreams(&discard_, &discard_); }
    void TearDown() override { setLogStreams(nullptr, nullptr); }

private:
    // Accepts every character, so the stream never turns bad.
    struct Discard : std::streambuf {
        int overflow(int c) override { return traits_type::not_eof(c); }
    };
    Discard buffer_;
    std::ostream discard_{&buffer_};
};

testing::Environment* const quietLog = testing::AddGlobalTestEnvironment(new QuietLog);

}  // namespace
