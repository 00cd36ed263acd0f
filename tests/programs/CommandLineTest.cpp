// Runs the built program and checks its command line: messages, streams and exit codes.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <string>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

class ProgramRun : public ::testing::Test {
protected:
    // Runs the program to its end with the given arguments and standard input.
    Outcome run(const QStringList& args, const QByteArray& input = QByteArray()) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(VELTRIX_PROGRAM, args);
        EXPECT_TRUE(p.waitForStarted());
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "the program did not end";
        }
        Outcome o;
        o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        o.out = p.readAllStandardOutput().toStdString();
        o.err = p.readAllStandardError().toStdString();
        return o;
    }
    std::string path(const char* name) const { return (dir.path() + "/" + name).toStdString(); }
    static std::string sampleFile() { return VELTRIX_TEST_DATA_DIR "/params/sample.xml"; }

    QTemporaryDir dir;
};

std::string usage() {
    return std::string("Usage: ") + VELTRIX_PROGRAM +
           " [options] <filename>\n\nOptions:\n"
           "  -w  <outfile>     Write out the parameters to a sample XML file\n"
           "  <infile>          Read parameters from input XML file\n\n";
}

std::string readAll(const std::string& file) {
    QFile f(QString::fromStdString(file));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

const std::string kDashes = std::string(79, '-') + "\n";

}  // namespace

TEST_F(ProgramRun, FailuresOfTheCommandLineExitWithOne) {
    Outcome o = run({});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, usage());

    o = run({"-w"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out + o.err, "");

    o = run({"-w", "a.xml", "b.xml"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, usage());

    o = run({"-b"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "Need an input file to process in batch mode!\n");

    // Declining the prompt stops before the parameter echo and the window.
    o = run({QString::fromStdString(sampleFile())}, "n\n");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.out.find("Parameter [sourceColor]: [0.7,0.7,1]\n"), std::string::npos);
    const std::string prompt = "\nStart Processing? (y/n): ";
    ASSERT_GE(o.out.size(), prompt.size());
    EXPECT_EQ(o.out.substr(o.out.size() - prompt.size()), prompt);
    EXPECT_EQ(o.out.find(kDashes), std::string::npos);
}

TEST_F(ProgramRun, WriteOptionProducesTheBundledSample) {
    const Outcome o = run({"-w", "written.xml"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "Wrote parameters to written.xml.\n");
    EXPECT_EQ(o.err, "");
    const std::string written = readAll(path("written.xml"));
    EXPECT_EQ(written.rfind("<!DOCTYPE libXMLParam>\n<libXMLParam>\n <sourceColor type=\"floatArray\">", 0), 0u);
    // The example file is what "-w" writes: regenerate it when a default changes.
    EXPECT_EQ(written, readAll(sampleFile()));

    const Outcome bad = run({"-w", "no-such-dir/x.xml"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, "Could not write parameters to no-such-dir/x.xml.\n");
}

// Opens the window: needs an X display (the suite runs under xvfb-run).
TEST_F(ProgramRun, BatchRunEchoesParametersAndOpensTheWindow) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "no X display";
    QProcess p;
    p.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");  // the widget needs a real X connection for its GL context
    p.setProcessEnvironment(env);
    p.start(VELTRIX_PROGRAM, {"-b", QString::fromStdString(sampleFile())});
    ASSERT_TRUE(p.waitForStarted());

    // Wait (generously) for the closing dash line of the echo.
    QByteArray out;
    const QByteArray closing = QByteArray("surfaceDistances = 0\n") + kDashes.c_str();
    for (int wait = 0; wait < 300 && !out.contains(closing) && p.state() == QProcess::Running; ++wait) {
        p.waitForReadyRead(1000);
        out += p.readAllStandardOutput();
    }
    out += p.readAllStandardOutput();
    const std::string text = out.toStdString();
    EXPECT_EQ(text.find("Start Processing?"), std::string::npos);
    const size_t echo = text.find(kDashes + "sourceColorTypeFA = \"0.7,0.7,1\"\n");
    ASSERT_NE(echo, std::string::npos) << text;
    EXPECT_LT(text.find("Parameter [alignDistanceFile]: []\n"), echo);
    EXPECT_EQ(text.substr(text.size() - closing.size()), closing.toStdString());

    // The window appears with its title while the event loop runs.
    const QString xwininfo = QStandardPaths::findExecutable("xwininfo");
    bool titled = xwininfo.isEmpty();
    for (int attempt = 0; !titled && attempt < 60 && p.state() == QProcess::Running; ++attempt) {
        QProcess info;
        info.start(xwininfo, {"-root", "-tree"});
        info.waitForFinished();
        titled = info.readAllStandardOutput().contains("\"Veltrix\": (\"veltrix\"");
        if (!titled) p.waitForFinished(500);
    }
    EXPECT_TRUE(titled);
    EXPECT_EQ(p.state(), QProcess::Running) << p.readAllStandardError().toStdString();
    p.terminate();
    if (!p.waitForFinished(30000)) p.kill();
    p.waitForFinished();
}
