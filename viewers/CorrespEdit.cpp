#include "viewers/CorrespEdit.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include <iostream>

namespace veltrix {

namespace {

QString numberText(double v) { return QString("%1").arg(v); }

// Rows of the editor: id, label. Created in this order; each row's position follows its id.
struct ParamRow
{
    int id;
    const char* label;
};
const ParamRow kParamRows[] = {
    {1, "Colormap Range Min"},
    {2, "Colormap Range Max"},
    {3, "# Source Samples"},
    {4, "# Target Samples"},
    {5, "Feature Space Range"},
    {6, "Feature Space Threshold"},
    {7, "Feature Space Max Matches"},
    {8, "Mean Shift Bandwidth"},
    {9, "Min Cluster Size"},
    {13, "Selected Cluster"},
    {14, "Max Pair Distance"},
    {10, "Min Verified Region Size"},
    {11, "Max # Clusters"},
    {12, "Max # Verified Regions"},
};

const int kRowWidth = 640;
const int kLastRowId = 14;

}  // namespace

// ---------------------------------------------------------------------------------------------
// ParamSelect

ParamSelect::ParamSelect(QWidget* parent, const QString& labelText, int id_)
    : QWidget(parent), id(id_)
{
    name = labelText;
    name.remove(' ');
    setObjectName(name);

    // The widget spans the whole row so that its children sit at the row's parent coordinates:
    // a child at local y corresponds to parent y = top + local y.
    const int y = 30 * id + 10;
    const int top = y - 1;
    setGeometry(0, top, kRowWidth, 21);

    label = new QLabel(labelText, this);
    label->setObjectName(name + "Label");
    // The label column is narrow; a slightly smaller font keeps the longest labels readable.
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.75);
    label->setFont(small);
    label->setToolTip(labelText);
    label->setGeometry(20, y - 1 - top, 110, 19);

    minButton = new QPushButton(this);
    minButton->setObjectName(name + "Min");
    minButton->setGeometry(145, y - top, 59, 19);

    scroll = new QScrollBar(Qt::Horizontal, this);
    scroll->setObjectName(name + "Scroll");
    scroll->setRange(0, 100);
    scroll->setGeometry(210, y + 2 - top, 268, 16);

    maxButton = new QPushButton(this);
    maxButton->setObjectName(name + "Max");
    maxButton->setGeometry(485, y - top, 59, 19);

    valueEdit = new QLineEdit(this);
    valueEdit->setObjectName(name + "Value");
    valueEdit->setGeometry(557, y - top, 70, 19);

    connect(minButton, &QPushButton::clicked, this, &ParamSelect::minRangeClicked);
    connect(maxButton, &QPushButton::clicked, this, &ParamSelect::maxRangeClicked);
    connect(scroll, &QScrollBar::valueChanged, this, &ParamSelect::scrollChanged);
    connect(valueEdit, &QLineEdit::editingFinished, this, &ParamSelect::editChanged);

    updating = true;
    refresh(true);
    updating = false;
}

void ParamSelect::setRange(double a, double b, double c)
{
    min = a;
    max = b;
    value = c;
    if (min >= max)
        min = max;
    if (value < min)
        min = value;
    else if (value > max)
        max = value;
    updating = true;
    refresh(true);
    updating = false;
}

void ParamSelect::refresh(bool moveScroll)
{
    minButton->setText(numberText(min));
    maxButton->setText(numberText(max));
    valueEdit->setText(numberText(value));
    if (!moveScroll)
        return;
    const int lo = scroll->minimum();
    const int hi = scroll->maximum();
    // An empty range (min == max) has no position inside it: put the bar at its start
    // rather than dividing by zero.
    int position = lo;
    if (max > min) {
        const double t = (value - min) / (max - min);
        position = static_cast<int>(lo + (hi - lo) * t);
    }
    scroll->setValue(position);
}

void ParamSelect::scrollChanged(int position)
{
    if (updating)
        return;
    const int span = scroll->maximum() - scroll->minimum();
    if (span <= 0)
        return;
    value = min + (static_cast<double>(position) / span) * (max - min);
    refresh(false);
    emit valueChanged(id, value);
}

void ParamSelect::editChanged()
{
    bool ok = false;
    const double parsed = valueEdit->text().toDouble(&ok);
    if (!ok) {
        refresh(false);
        return;
    }
    value = parsed;
    if (value < min)
        min = value;
    else if (value > max)
        max = value;
    updating = true;
    refresh(true);
    updating = false;
    emit valueChanged(id, value);
}

void ParamSelect::minRangeClicked()
{
    bool ok = false;
    const double answer = QInputDialog::getDouble(this, "Set minimum...", "Minimum Value:", min,
                                                  -100000, 100000, 3, &ok);
    if (!ok)
        return;
    min = answer < max ? answer : max;
    if (value < min)
        value = min;
    updating = true;
    refresh(true);
    updating = false;
}

void ParamSelect::maxRangeClicked()
{
    bool ok = false;
    const double answer = QInputDialog::getDouble(this, "Set maximum...", "Maximum Value:", max,
                                                  -100000, 100000, 3, &ok);
    if (!ok)
        return;
    max = answer;
    if (answer < value)
        value = answer;
    updating = true;
    refresh(true);
    updating = false;
}

// ---------------------------------------------------------------------------------------------
// CorrespEdit

CorrespEdit::CorrespEdit(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    buildForm();
    for (const ParamRow& row : kParamRows) {
        ParamSelect* p = new ParamSelect(this, row.label, row.id);
        params.push_back(p);
        connect(p, &ParamSelect::valueChanged, this, &CorrespEdit::controlChanged);
    }
    QMetaObject::connectSlotsByName(this);
}

CorrespEdit::~CorrespEdit() = default;

void CorrespEdit::buildForm()
{
    setObjectName("CorrespEditClass");
    setWindowTitle("CorrespEdit");

    struct Heading
    {
        const char* text;
        int x, width;
    };
    const Heading headings[] = {{"Parameter", 20, 110},
                                {"Min", 145, 59},
                                {"Scroll Select", 210, 268},
                                {"Max", 485, 59},
                                {"Value", 557, 70}};
    for (const Heading& h : headings) {
        QLabel* l = new QLabel(h.text, this);
        l->setGeometry(h.x, 12, h.width, 19);
        if (h.x == 210)
            l->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    }

    // Task buttons in a column right of the rows: the chain of pipeline steps in their order,
    // each step after the first marked by an arrow, then the steps that stand on their own.
    const int tasksLeft = kRowWidth + 5;
    const int tasksWidth = 200;
    QGroupBox* tasks = new QGroupBox("Tasks", this);
    tasks->setObjectName("TasksBox");
    tasks->setGeometry(tasksLeft, 30, tasksWidth, 30 * kLastRowId - 10);
    QGridLayout* grid = new QGridLayout(tasks);
    grid->setColumnStretch(1, 1);

    int row = 0;
    auto add = [tasks, grid, &row](const char* objectName, const char* text, bool arrow) {
        if (arrow) {
            QLabel* l = new QLabel("--->", tasks);
            l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            grid->addWidget(l, row, 0);
        }
        QPushButton* b = new QPushButton(text, tasks);
        b->setObjectName(objectName);
        grid->addWidget(b, row, 1);
        ++row;
    };
    add("ComputeFeaturesButton", "Compute Features", false);
    add("ComputeTransformsButton", "Compute Transforms", true);
    add("ComputeMeanShiftButton", "Compute Mean Shift", true);
    add("RefineClusterButton", "Verify Clusters (ICP)", true);
    add("GraphCutRelabelButton", "Graph Cut Relabel", true);
    grid->setRowMinimumHeight(row++, 12);
    add("SampleCorrespButton", "Sample Corresp.", false);
    add("VerifyTransformationsButton", "Verify Transformations", false);
    add("SaveTransformsButton", "Save Transforms", false);
    add("FeatureViewerButton", "Feature Viewer", false);
    grid->setRowStretch(row, 1);

    const int bottom = 30 * kLastRowId + 10 + 30;
    QPushButton* close = new QPushButton("Close", this);
    close->setObjectName("CloseButton");
    close->setGeometry(tasksLeft + tasksWidth - 90, bottom, 90, 25);
    connect(close, &QPushButton::clicked, this, &QWidget::close);

    setFixedSize(tasksLeft + tasksWidth + 10, bottom + 35);
}

void CorrespEdit::initRange(int id, double min, double max, double value)
{
    ParamSelect* p = control(id);
    if (!p) {
        std::cerr << "Warning in CorrespEdit::initRange(): Control " << id << " not found!"
                  << std::endl;
        return;
    }
    p->setRange(min, max, value);
}

ParamSelect* CorrespEdit::control(int id) const
{
    for (ParamSelect* p : params)
        if (p->getId() == id)
            return p;
    return nullptr;
}

void CorrespEdit::controlChanged(int which, double value) { emit valueChanged(which, value); }

void CorrespEdit::on_ComputeFeaturesButton_clicked() { emit valueChanged(15, 1.0); }
void CorrespEdit::on_RefineClusterButton_clicked() { emit valueChanged(16, 1.0); }
void CorrespEdit::on_ComputeTransformsButton_clicked() { emit valueChanged(17, 1.0); }
void CorrespEdit::on_SaveTransformsButton_clicked() { emit valueChanged(18, 1.0); }
void CorrespEdit::on_ComputeMeanShiftButton_clicked() { emit valueChanged(19, 1.0); }
void CorrespEdit::on_VerifyTransformationsButton_clicked() { emit valueChanged(20, 1.0); }
void CorrespEdit::on_GraphCutRelabelButton_clicked() { emit valueChanged(21, 1.0); }
void CorrespEdit::on_SampleCorrespButton_clicked() { emit valueChanged(22, 1.0); }
void CorrespEdit::on_FeatureViewerButton_clicked() { emit valueChanged(23, 1.0); }

}  // namespace veltrix
