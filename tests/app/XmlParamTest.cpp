#include "app/XmlParam.h"

#include "core/Log.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

using namespace veltrix;

namespace {

// Feeds standard input from a string while alive.
class InputFeed {
public:
    explicit InputFeed(const std::string& text) : buf_(text), old_(std::cin.rdbuf(buf_.rdbuf())) {}
    ~InputFeed() {
        std::cin.rdbuf(old_);
        std::cin.clear();
    }

private:
    std::istringstream buf_;
    std::streambuf* old_;
};

// One variable of every type, bound in a fixed order.
struct Vars {
    std::string s = "hello";
    bool b = true;
    float f = 2.5f;
    int i = -7;
    std::vector<std::string> sa = {"a", "b c"};
    std::vector<bool> ba = {true, false, true};
    std::vector<float> fa = {0.7f, 0.7f, 1.0f};
    std::vector<int> ia = {1, -2, 3};

    void bind(xmlParam& p) {
        p.addParam("s", "string", &s, nullptr);
        p.addParam("b", "bool", &b, nullptr);
        p.addParam("f", "float", &f, nullptr);
        p.addParam("i", "int", &i, nullptr);
        p.addParam("sa", "stringArray", &sa, nullptr);
        p.addParam("ba", "boolArray", &ba, nullptr);
        p.addParam("fa", "floatArray", &fa, nullptr);
        p.addParam("ia", "intArray", &ia, nullptr);
    }
};

std::string readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Runs initParamXML on the given arguments with the given standard input.
struct RunResult {
    bool ok;
    std::string out, err;
};

RunResult run(xmlParam& p, std::vector<std::string> args, const std::string& input = "") {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    InputFeed in(input);
    LogCapture log;
    const bool ok = p.initParamXML(int(args.size()), argv.data());
    return {ok, log.out(), log.err()};
}

const char* const kUsage =
    "Usage: prog [options] <filename>\n"
    "\n"
    "Options:\n"
    "  -w  <outfile>     Write out the parameters to a sample XML file\n"
    "  <infile>          Read parameters from input XML file\n"
    "\n";

class XmlParamFile : public ::testing::Test {
protected:
    QString path(const char* name) const { return dir.path() + "/" + name; }
    std::string spath(const char* name) const { return path(name).toStdString(); }
    QTemporaryDir dir;
};

}  // namespace

TEST_F(XmlParamFile, CommandLineOptions) {
    Vars v;
    xmlParam p;
    v.bind(p);

    RunResult r = run(p, {"prog"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");

    r = run(p, {"prog", "-w"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out + r.err, "");

    r = run(p, {"prog", "-w", "a.xml", "b.xml"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_FALSE(QFile::exists("a.xml"));

    r = run(p, {"prog", "-b"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Need an input file to process in batch mode!\n");

    const std::string out = spath("out.xml");
    r = run(p, {"prog", "-w", out});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "Wrote parameters to " + out + ".\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(QFile::exists(path("out.xml")));

    const std::string bad = spath("missing-dir/out.xml");
    r = run(p, {"prog", "-w", bad});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.out, "Could not open file " + bad + " for writing!\n");
    EXPECT_EQ(r.err, "Could not write parameters to " + bad + ".\n");
}

TEST_F(XmlParamFile, ConfirmationPromptAcceptsOnlyYes) {
    Vars v;
    xmlParam p;
    p.addParam("i", "int", &v.i, nullptr);
    writeFile(path("p.xml"), "<!DOCTYPE libXMLParam><libXMLParam><i type=\"int\">4</i></libXMLParam>");
    const std::string file = spath("p.xml");

    const std::string expected = "Parameter [i]: [4]\n\nStart Processing? (y/n): ";
    for (const char* answer : {"y\n", "Y\n", "  \n y", "yes\n"}) {
        RunResult r = run(p, {"prog", file}, answer);
        EXPECT_TRUE(r.ok) << answer;
        EXPECT_EQ(r.out, expected);
    }
    for (const char* answer : {"n\n", "N", "", "x y"}) {
        EXPECT_FALSE(run(p, {"prog", file}, answer).ok) << answer;
    }
    // Batch mode asks nothing; options after the file are ignored.
    RunResult r = run(p, {"prog", "-b", file, "extra"}, "n\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "Parameter [i]: [4]\n");
}

TEST_F(XmlParamFile, WrittenDocumentFormat) {
    Vars v;
    xmlParam p;
    v.bind(p);
    std::string desc = "a note";
    int noted = 11;
    p.addParam("noted", "int", &noted, desc.c_str());
    ASSERT_FALSE(run(p, {"prog", "-w", spath("out.xml")}).ok);

    const std::string text = readAll(path("out.xml"));
    const std::string expected =
        "<!DOCTYPE libXMLParam>\n"
        "<libXMLParam>\n"
        " <s type=\"string\">hello</s>\n"
        " <b type=\"bool\">1</b>\n"
        " <f type=\"float\">2.5</f>\n"
        " <i type=\"int\">-7</i>\n"
        " <sa type=\"stringArray\">a,,b c,</sa>\n"
        " <ba type=\"boolArray\">1,,0,,1,</ba>\n"
        " <fa type=\"floatArray\">0.7,,0.7,,1,</fa>\n"
        " <ia type=\"intArray\">1,,-2,,3,</ia>\n"
        " <noted type=\"int\">11<!--a note-->\n </noted>\n"
        "</libXMLParam>\n"
        "\n";
    EXPECT_EQ(text, expected);

    // The comment and the layout around it do not disturb reading the value back.
    noted = 0;
    XmlDocument in;
    ASSERT_TRUE(p.readParamXML(spath("out.xml").c_str(), in));
    LogCapture out;
    p.loadParamXML(in);
    EXPECT_EQ(out.out(), "");
    EXPECT_EQ(noted, 11);

    xmlParam named("other");
    EXPECT_EQ(named.getTopName(), "other");
    named.addParam("e", "floatArray", &v.fa, nullptr);
    v.fa.clear();
    EXPECT_EQ(named.makeParamXML().toString(1),
              "<!DOCTYPE other>\n<other>\n <e type=\"floatArray\"></e>\n</other>\n");

    // Markup characters, "]]>" and a carriage return are escaped, quotes and ">" are not.
    xmlParam special;
    std::string odd = "x <&> \"y\" ]]> a\rb";
    special.addParam("s", "string", &odd, nullptr);
    ASSERT_FALSE(run(special, {"prog", "-w", spath("special.xml")}).ok);
    EXPECT_EQ(readAll(path("special.xml")), "<!DOCTYPE libXMLParam>\n<libXMLParam>\n"
                                             " <s type=\"string\">x &lt;&amp;> \"y\" ]]&gt; a&#xd;b</s>\n"
                                             "</libXMLParam>\n\n");
}

TEST_F(XmlParamFile, WriteThenReadRestoresEveryValue) {
    Vars v;
    v.s = "x <&> \"y\" / path";
    v.f = 3.14159265f;
    v.fa = {1e-7f, 123456789.0f, -0.5f};
    v.sa = {"one", "two words", ""};  // an empty string element cannot survive the comma format
    xmlParam p;
    v.bind(p);
    XmlDocument doc = p.makeParamXML();
    ASSERT_TRUE(p.writeParamXML(path("rt.xml").toLocal8Bit().constData(), doc));

    p.resetParams();
    EXPECT_EQ(v.s, "");
    EXPECT_FALSE(v.b);
    EXPECT_EQ(v.f, -1.0f);
    EXPECT_EQ(v.i, -1);
    EXPECT_TRUE(v.sa.empty() && v.ba.empty() && v.fa.empty() && v.ia.empty());

    XmlDocument in;
    ASSERT_TRUE(p.readParamXML(path("rt.xml").toLocal8Bit().constData(), in));
    LogCapture out;
    p.loadParamXML(in);
    EXPECT_EQ(out.out(), "");
    EXPECT_EQ(v.s, "x <&> \"y\" / path");
    EXPECT_TRUE(v.b);
    EXPECT_FLOAT_EQ(v.f, 3.14159f);
    EXPECT_EQ(v.i, -7);
    EXPECT_EQ(v.sa, (std::vector<std::string>{"one", "two words"}));
    EXPECT_EQ(v.ba, (std::vector<bool>{true, false, true}));
    ASSERT_EQ(v.fa.size(), 3u);
    EXPECT_FLOAT_EQ(v.fa[0], 1e-7f);
    EXPECT_FLOAT_EQ(v.fa[1], 123457000.0f);
    EXPECT_FLOAT_EQ(v.fa[2], -0.5f);
    EXPECT_EQ(v.ia, (std::vector<int>{1, -2, 3}));
}

TEST_F(XmlParamFile, LoadingRules) {
    Vars v;
    xmlParam p;
    v.bind(p);
    XmlDocument doc;
    ASSERT_TRUE(doc.setContent(std::string(
        "<!DOCTYPE libXMLParam><libXMLParam>"
        "<b type=\"bool\">0</b>"
        "<f type=\"int\">1.5e2</f>"              // the registered type decides
        "<i>12</i>"
        "<sa>p,q,,r,</sa>"
        "<ba>0,,2,-1</ba>"
        "<fa>1,2,,3,</fa>"
        "<ia></ia>"
        "<group><s>one</s><deeper><s>two</s></deeper></group>"  // duplicated at any depth
        "</libXMLParam>")));
    LogCapture out;
    p.loadParamXML(doc);
    EXPECT_EQ(out.out(), "Could not find element s!\n");
    EXPECT_EQ(v.s, "hello");
    EXPECT_FALSE(v.b);
    EXPECT_EQ(v.f, 150.0f);
    EXPECT_EQ(v.i, 12);
    EXPECT_EQ(v.sa, (std::vector<std::string>{"p", "q", "r"}));
    EXPECT_EQ(v.ba, (std::vector<bool>{false, true, true}));
    EXPECT_EQ(v.fa, (std::vector<float>{1, 2, 3}));
    EXPECT_TRUE(v.ia.empty());
}

TEST(XmlParam, FileTextRules) {
    std::string s, t;
    int i = 0;
    xmlParam p;
    p.addParam("s", "string", &s, nullptr);
    p.addParam("t", "string", &t, nullptr);
    p.addParam("i", "int", &i, nullptr);
    // Entities of the document type are expanded, unknown ones read as nothing; carriage returns
    // stay, blank text goes, CDATA keeps its blanks and an element's text takes in its children's.
    XmlDocument doc;
    ASSERT_TRUE(doc.setContent("<!DOCTYPE r [<!ENTITY n \"4<x>2</x>\">]>\r\n<r><s>a\r\nb\rc&u;</s>"
                               "<t> <![CDATA[ ]]> <!--c--> </t><i>&n;</i></r>"));
    p.loadParamXML(doc);
    EXPECT_EQ(s, "a\r\nb\rc");
    EXPECT_EQ(t, " ");
    EXPECT_EQ(i, 42);

    // Nothing but comments and blanks may follow the root element.
    XmlParseError error;
    EXPECT_TRUE(doc.setContent("<r/><!--c-->\n"));
    EXPECT_FALSE(doc.setContent("<r/><r/>", &error));
    EXPECT_EQ(error.message + " " + std::to_string(error.line) + ":" + std::to_string(error.column),
              "junk after document element 1:5");
    EXPECT_EQ(p.readParamXMLText("<r/>x", "f.xml", doc), false);
    EXPECT_EQ(p.readError(),
              "not a parameter file (no well-formed XML: junk after document element at line 1, column 5)");
}

TEST_F(XmlParamFile, ArrayFormsLoadAlike) {
    for (const char* text : {"4,,5,,6,", "4,5,6", ",4,5,,,6", "4, 5 ,\n 6,"}) {
        std::vector<int> ia = {9};
        std::vector<float> fa;
        xmlParam p;
        p.addParam("ia", "intArray", &ia, nullptr);
        p.addParam("fa", "floatArray", &fa, nullptr);
        XmlDocument doc;
        ASSERT_TRUE(doc.setContent(std::string("<r><ia>") + text + "</ia><fa>" + text + "</fa></r>"));
        p.loadParamXML(doc);
        EXPECT_EQ(ia, (std::vector<int>{4, 5, 6})) << text;
        EXPECT_EQ(fa, (std::vector<float>{4, 5, 6})) << text;
    }
}

TEST_F(XmlParamFile, UnreadableNumbersAreReportedAndKeepTheirValue) {
    Vars v;
    xmlParam p;
    v.bind(p);
    XmlDocument doc;
    ASSERT_TRUE(doc.setContent(std::string("<r><b>true</b><f>0,5</f><i>99999999999</i><ba>1,x</ba><fa>1,1e400</fa>"
                                          "<ia>4,5.5</ia></r>")));
    LogCapture err;
    p.loadParamXML(doc);
    for (const char* key : {"b", "f", "i", "ba", "fa", "ia"})
        EXPECT_NE(err.err().find(std::string(" for ") + key + "; its value is kept.\n"), std::string::npos) << key;
    EXPECT_NE(err.err().find("Error in xmlParam::loadParamXML(): unreadable number \"0,5\" for f;"), std::string::npos);
    Vars defaults;
    EXPECT_TRUE(v.b == defaults.b && v.f == defaults.f && v.i == defaults.i && v.ba == defaults.ba &&
                v.fa == defaults.fa && v.ia == defaults.ia);
}

TEST_F(XmlParamFile, DeepNestingIsRefusedBeforeParsing) {
    int i = 42;
    xmlParam p;
    p.addParam("i", "int", &i, nullptr);
    for (int levels : {100000, xmlParam::kMaxNesting - 2}) {  // with the root and i: the limit
        writeFile(path("deep.xml"), "<r>" + QByteArray("<a>").repeated(levels) + "<i>3</i>" +
                                        QByteArray("</a>").repeated(levels) + "</r>");
        RunResult r = run(p, {"prog", "-b", spath("deep.xml")});
        EXPECT_EQ(i, levels > xmlParam::kMaxNesting ? 42 : 3);
        EXPECT_EQ(r.err.find("Error in xmlParam::readParamXML(): elements are nested deeper than 256 levels in ") == 0,
                  levels > xmlParam::kMaxNesting);
    }
}

TEST_F(XmlParamFile, PrintFormsByteForByte) {
    Vars v;
    v.f = 1.0f / 3.0f;
    xmlParam p;
    v.bind(p);
    {
        LogCapture out;
        p.printParams();
        EXPECT_EQ(out.out(),
                  "Parameter [s]: [hello]\n"
                  "Parameter [b]: [true]\n"
                  "Parameter [f]: [0.333333]\n"
                  "Parameter [i]: [-7]\n"
                  "Parameter [sa]: [\"a\",\"b c\"]\n"
                  "Parameter [ba]: [1,0,1]\n"
                  "Parameter [fa]: [0.7,0.7,1]\n"
                  "Parameter [ia]: [1,-2,3]\n");
    }
    {
        LogCapture out;
        p.printParamsINI();
        EXPECT_EQ(out.out(),
                  "s = \"hello\"\n"
                  "b = true\n"
                  "f = 0.333333\n"
                  "i = -7\n"
                  "saTypeFA = \"\"a\",\"b c\"\"\n"
                  "baTypeFA = \"1,0,1\"\n"
                  "faTypeFA = \"0.7,0.7,1\"\n"
                  "iaTypeFA = \"1,-2,3\"\n");
    }
    // Empty values, a false bool and an unknown type word (prefix only, no line end).
    std::string s;
    bool b = false;
    std::vector<int> empty;
    int other = 3;
    xmlParam q;
    q.addParam("s", "string", &s, nullptr);
    q.addParam("b", "bool", &b, nullptr);
    q.addParam("e", "intArray", &empty, nullptr);
    q.addParam("u", "Int", &other, nullptr);
    q.addParam("f", "float", &v.f, nullptr);
    LogCapture out;
    q.printParams();
    q.printParamsINI();
    EXPECT_EQ(out.out(),
              "Parameter [s]: []\nParameter [b]: [false]\nParameter [e]: []\nParameter [u]: "
              "Parameter [f]: [0.333333]\n"
              "s = \"\"\nb = false\neTypeFA = \"\"\nuf = 0.333333\n");
    // The unknown entry is skipped by writing, loading and resetting too.
    q.resetParams();
    EXPECT_EQ(other, 3);
}

TEST_F(XmlParamFile, BadFilesKeepDefaults) {
    writeFile(path("empty.xml"), "");
    writeFile(path("text.xml"), "this is not XML at all\n");
    writeFile(path("unclosed.xml"), "<libXMLParam><i>3</i>");
    QByteArray binary;
    for (int k = 0; k < 4096; ++k) binary.append(char((k * 131 + 7) & 0xff));
    writeFile(path("binary.xml"), binary);
    QDir(dir.path()).mkdir("adir");

    struct Case {
        std::string file;
        std::string message;
    };
    const std::vector<Case> cases = {
        {spath("empty.xml"), "Could not parse XML file "},
        {spath("text.xml"), "Could not parse XML file "},
        {spath("unclosed.xml"), "Could not parse XML file "},
        {spath("binary.xml"), "Could not parse XML file "},
        {"/dev/zero", "Could not parse XML file "},  // endless input is cut off
        {spath("adir"), "Could not open file "},
        {spath("nothing-here.xml"), "Could not open file "},
    };
    for (const Case& c : cases) {
        int i = 42;
        xmlParam p;
        p.addParam("i", "int", &i, nullptr);
        RunResult r = run(p, {"prog", "-b", c.file});
        EXPECT_TRUE(r.ok) << c.file;
        EXPECT_EQ(r.out, c.message + c.file + "!\nCould not find element i!\nParameter [i]: [42]\n") << c.file;
        EXPECT_EQ(r.err, "Couldn't read parameters from " + c.file + ".\n") << c.file;
        EXPECT_EQ(i, 42);
    }

    // A failed read leaves the caller's document as it was.
    XmlDocument doc;
    ASSERT_TRUE(doc.setContent(std::string("<r><i>8</i></r>")));
    xmlParam p;
    LogCapture out;
    EXPECT_FALSE(p.readParamXML(spath("unclosed.xml").c_str(), doc));
    EXPECT_EQ(doc.documentElement().text(), "8");
}

TEST(XmlParam, CopiesShareTheBoundVariables) {
    int i = 1;
    xmlParam p("top");
    p.addParam("i", "int", &i, nullptr);
    xmlParam copy(p);
    xmlParam assigned;
    assigned = p;
    EXPECT_EQ(assigned.getTopName(), "top");
    XmlDocument doc;
    ASSERT_TRUE(doc.setContent(std::string("<top><i>5</i></top>")));
    copy.loadParamXML(doc);
    EXPECT_EQ(i, 5);
    assigned.resetParams();
    EXPECT_EQ(i, -1);
}

TEST(XmlParam, SetsOneValueByNameAsTheFileWouldGiveIt) {
    Vars v;
    xmlParam p;
    v.bind(p);
    EXPECT_EQ(p.typeOf("fa"), "floatArray");
    EXPECT_EQ(p.typeOf("missing"), "");
    EXPECT_EQ(p.setParamText("fa", "0.5,2,"), "");
    EXPECT_EQ(p.setParamText("i", "12"), "");
    EXPECT_EQ(v.fa, (std::vector<float>{0.5f, 2.0f}));
    EXPECT_EQ(v.i, 12);
    EXPECT_EQ(p.setParamText("missing", "1"), "unknown parameter missing");
    EXPECT_EQ(p.setParamText("i", "1.5"), "unreadable value \"1.5\" for i (type int)");
    EXPECT_EQ(v.i, 12);
}
