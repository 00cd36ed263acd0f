#pragma once
#include <iosfwd>
#include <sstream>
#include <string>

namespace veltrix {

// The console of every library. Messages go to two streams, standard output and standard error by
// default, as the user has always seen them. Callers can redirect both (tests capture, library
// users silence them) without touching std::cout, and choose how much is written.
enum class LogLevel {
    Silent = 0,  // nothing at all
    Errors = 1,  // the error stream only
    Normal = 2,  // everything (the default)
};

// The output stream: parameter echoes, step headers, progress, results.
std::ostream& logOut();
// The error stream: "Error in ..." and "Warning in ..." lines.
std::ostream& logErr();

void setLogLevel(LogLevel level);
LogLevel logLevel();

// Redirects the two streams; a null pointer restores standard output or standard error.
void setLogStreams(std::ostream* out, std::ostream* err);

// True when the output stream is standard output and that is a terminal: progress indicators then
// rewrite themselves in place; otherwise they print a few whole steps.
bool logOutIsTerminal();
// Overrides the terminal test (tests of the in-place indicator); unset by passing -1.
void setLogTerminalOverride(int isTerminal);

// Captures what the libraries write while it lives, and restores the previous streams after.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

private:
    std::ostringstream out_, err_;
    std::ostream* previousOut_;
    std::ostream* previousErr_;
};

// Captures what the libraries write on the calling thread alone while it lives (other threads
// keep writing to the shared streams): a task running beside others keeps its lines together,
// and its caller writes them out in a fixed order afterwards. The log level still applies.
class ThreadLogCapture {
public:
    ThreadLogCapture();
    ~ThreadLogCapture();
    ThreadLogCapture(const ThreadLogCapture&) = delete;
    ThreadLogCapture& operator=(const ThreadLogCapture&) = delete;

    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

private:
    std::ostringstream out_, err_;
    std::ostream* previousOut_;
    std::ostream* previousErr_;
};

}  // namespace veltrix
