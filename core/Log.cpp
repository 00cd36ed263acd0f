#include "core/Log.h"

#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace veltrix {

namespace {

struct Sink {
    std::ostream* out = nullptr;  // null: standard output
    std::ostream* err = nullptr;  // null: standard error
    LogLevel level = LogLevel::Normal;
    int terminalOverride = -1;
};

Sink& sink() {
    static Sink s;
    return s;
}

// The streams of the calling thread's ThreadLogCapture, if any.
thread_local std::ostream* threadOut = nullptr;
thread_local std::ostream* threadErr = nullptr;

// A stream without a buffer swallows everything written to it (one per thread: writing sets its
// state).
std::ostream& nullStream() {
    thread_local std::ostream s(nullptr);
    s.clear();
    return s;
}

}  // namespace

std::ostream& logOut() {
    const Sink& s = sink();
    if (s.level < LogLevel::Normal) return nullStream();
    if (threadOut) return *threadOut;
    return s.out ? *s.out : std::cout;
}

std::ostream& logErr() {
    const Sink& s = sink();
    if (s.level < LogLevel::Errors) return nullStream();
    if (threadErr) return *threadErr;
    return s.err ? *s.err : std::cerr;
}

void setLogLevel(LogLevel level) { sink().level = level; }

LogLevel logLevel() { return sink().level; }

void setLogStreams(std::ostream* out, std::ostream* err) {
    sink().out = out;
    sink().err = err;
}

bool logOutIsTerminal() {
    const Sink& s = sink();
    if (s.terminalOverride >= 0) return s.terminalOverride != 0;
    if (threadOut) return false;
    return s.out == nullptr && isatty(fileno(stdout));
}

void setLogTerminalOverride(int isTerminal) { sink().terminalOverride = isTerminal; }

LogCapture::LogCapture() : previousOut_(sink().out), previousErr_(sink().err) { setLogStreams(&out_, &err_); }

LogCapture::~LogCapture() { setLogStreams(previousOut_, previousErr_); }

ThreadLogCapture::ThreadLogCapture() : previousOut_(threadOut), previousErr_(threadErr) {
    threadOut = &out_;
    threadErr = &err_;
}

ThreadLogCapture::~ThreadLogCapture() {
    threadOut = previousOut_;
    threadErr = previousErr_;
}

}  // namespace veltrix
