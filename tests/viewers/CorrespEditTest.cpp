#include "viewers/CorrespEdit.h"
#include "DialogAnswer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace veltrix;

namespace {

struct Report
{
    int id;
    double value;
};

// Collects every valueChanged report of the editor.
class EditorFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        editor = new CorrespEdit;
        QObject::connect(editor, &CorrespEdit::valueChanged,
                         [this](int id, double v) { reports.push_back({id, v}); });
    }
    void TearDown() override { delete editor; }

    template <class T> T* child(const QString& name)
    {
        T* w = editor->findChild<T*>(name);
        EXPECT_NE(w, nullptr) << name.toStdString();
        return w;
    }

    void typeValue(const QString& field, const QString& text)
    {
        QLineEdit* e = child<QLineEdit>(field);
        e->setText(text);
        emit e->editingFinished();
    }

    CorrespEdit* editor = nullptr;
    std::vector<Report> reports;
};

}  // namespace

TEST_F(EditorFixture, RowsInOrderWithNamesAndPositions)
{
    const int ids[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 14, 10, 11, 12};
    const char* names[] = {"ColormapRangeMin",      "ColormapRangeMax",    "#SourceSamples",
                           "#TargetSamples",        "FeatureSpaceRange",   "FeatureSpaceThreshold",
                           "FeatureSpaceMaxMatches", "MeanShiftBandwidth", "MinClusterSize",
                           "SelectedCluster",       "MaxPairDistance",     "MinVerifiedRegionSize",
                           "Max#Clusters",          "Max#VerifiedRegions"};
    ASSERT_EQ(editor->controls().size(), 14u);
    for (int i = 0; i < 14; ++i) {
        ParamSelect* p = editor->controls()[i];
        EXPECT_EQ(p->getId(), ids[i]);
        EXPECT_EQ(p->getName(), QString(names[i]));
        const int y = 30 * ids[i] + 10;
        QLabel* label = child<QLabel>(p->getName() + "Label");
        QPushButton* minB = child<QPushButton>(p->getName() + "Min");
        QScrollBar* scroll = child<QScrollBar>(p->getName() + "Scroll");
        QPushButton* maxB = child<QPushButton>(p->getName() + "Max");
        QLineEdit* value = child<QLineEdit>(p->getName() + "Value");
        EXPECT_EQ(label->mapTo(editor, QPoint(0, 0)), QPoint(20, y - 1));
        EXPECT_EQ(minB->mapTo(editor, QPoint(0, 0)), QPoint(145, y));
        EXPECT_EQ(scroll->mapTo(editor, QPoint(0, 0)), QPoint(210, y + 2));
        EXPECT_EQ(maxB->mapTo(editor, QPoint(0, 0)).x(), 485);
        EXPECT_EQ(value->mapTo(editor, QPoint(0, 0)).x(), 557);
        EXPECT_EQ(scroll->minimum(), 0);
        EXPECT_EQ(scroll->maximum(), 100);
        EXPECT_EQ(minB->text(), "0");
        EXPECT_EQ(maxB->text(), "100");
    }
    EXPECT_EQ(editor->windowTitle(), "CorrespEdit");
    EXPECT_NE(editor->findChild<QPushButton*>("CloseButton"), nullptr);
}

TEST_F(EditorFixture, TaskButtonsReportTheirIdsWithOne)
{
    const std::pair<const char*, int> buttons[] = {
        {"ComputeFeaturesButton", 15},     {"RefineClusterButton", 16},
        {"ComputeTransformsButton", 17},   {"SaveTransformsButton", 18},
        {"ComputeMeanShiftButton", 19},    {"VerifyTransformationsButton", 20},
        {"GraphCutRelabelButton", 21},     {"SampleCorrespButton", 22},
        {"FeatureViewerButton", 23}};
    for (const auto& b : buttons) {
        reports.clear();
        QTest::mouseClick(child<QPushButton>(b.first), Qt::LeftButton);
        ASSERT_EQ(reports.size(), 1u) << b.first;
        EXPECT_EQ(reports[0].id, b.second);
        EXPECT_EQ(reports[0].value, 1.0);
    }
    EXPECT_EQ(child<QPushButton>("ComputeFeaturesButton")->text(), "Compute Features");
    EXPECT_EQ(child<QPushButton>("SampleCorrespButton")->text(), "Sample Corresp.");
}

TEST_F(EditorFixture, SetRangeWidensToHoldTheValueAndEmitsNothing)
{
    ParamSelect* p = editor->control(3);
    p->setRange(5, 3, 4);
    EXPECT_EQ(p->getMin(), 3);
    EXPECT_EQ(p->getMax(), 4);
    EXPECT_EQ(p->getValue(), 4);

    p->setRange(0, 10, -2);
    EXPECT_EQ(p->getMin(), -2);
    EXPECT_EQ(p->getMax(), 10);

    // An empty range (both colormap limits at 0) keeps the scroll bar at its start.
    p->setRange(0, 0, 0);
    EXPECT_EQ(child<QScrollBar>("#SourceSamplesScroll")->value(), 0);

    p->setRange(0, 200, 50);
    EXPECT_EQ(child<QScrollBar>("#SourceSamplesScroll")->value(), 25);
    EXPECT_EQ(child<QPushButton>("#SourceSamplesMax")->text(), "200");
    EXPECT_EQ(child<QLineEdit>("#SourceSamplesValue")->text(), "50");
    EXPECT_TRUE(reports.empty());

    editor->initRange(5, 0, 0.03, 0.0125);
    EXPECT_EQ(child<QLineEdit>("FeatureSpaceRangeValue")->text(), "0.0125");
    editor->initRange(42, 0, 1, 0);  // unknown id: warning only
    EXPECT_TRUE(reports.empty());
}

TEST_F(EditorFixture, ScrollBarReportsValuesAcrossTheRange)
{
    editor->initRange(8, 2, 6, 3);
    QScrollBar* s = child<QScrollBar>("MeanShiftBandwidthScroll");
    EXPECT_EQ(s->value(), 25);
    s->setValue(100);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].id, 8);
    EXPECT_DOUBLE_EQ(reports[0].value, 6.0);
    s->setValue(50);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_DOUBLE_EQ(reports[1].value, 4.0);
    EXPECT_EQ(child<QLineEdit>("MeanShiftBandwidthValue")->text(), "4");
    EXPECT_EQ(s->value(), 50);
}

TEST_F(EditorFixture, TypedValuesWidenTheRangeAndBadTextIsRestored)
{
    editor->initRange(6, 0, 10, 5);
    typeValue("FeatureSpaceThresholdValue", "25");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].id, 6);
    EXPECT_EQ(reports[0].value, 25.0);
    ParamSelect* p = editor->control(6);
    EXPECT_EQ(p->getMax(), 25);
    EXPECT_EQ(child<QPushButton>("FeatureSpaceThresholdMax")->text(), "25");
    EXPECT_EQ(child<QScrollBar>("FeatureSpaceThresholdScroll")->value(), 100);

    typeValue("FeatureSpaceThresholdValue", "-1.5");
    EXPECT_EQ(p->getMin(), -1.5);
    EXPECT_EQ(reports.size(), 2u);

    typeValue("FeatureSpaceThresholdValue", "abc");
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_EQ(child<QLineEdit>("FeatureSpaceThresholdValue")->text(), "-1.5");
}

TEST_F(EditorFixture, RangeButtonsChangeTheRangeSilently)
{
    editor->initRange(9, 0, 10, 5);
    ParamSelect* p = editor->control(9);

    acceptNumber(7);
    QTest::mouseClick(child<QPushButton>("MinClusterSizeMin"), Qt::LeftButton);
    EXPECT_EQ(p->getMin(), 7);
    EXPECT_EQ(p->getValue(), 7);  // pulled up into the range

    acceptNumber(20);  // above max: clipped to max
    QTest::mouseClick(child<QPushButton>("MinClusterSizeMin"), Qt::LeftButton);
    EXPECT_EQ(p->getMin(), 10);

    acceptNumber(3);  // below the value: the value follows
    QTest::mouseClick(child<QPushButton>("MinClusterSizeMax"), Qt::LeftButton);
    EXPECT_EQ(p->getMax(), 3);
    EXPECT_EQ(p->getValue(), 3);

    cancelDialog();
    QTest::mouseClick(child<QPushButton>("MinClusterSizeMax"), Qt::LeftButton);
    EXPECT_EQ(p->getMax(), 3);
    EXPECT_TRUE(reports.empty());
}
